// Late-bound access to the control: the dispatch table (the property table, then the methods
// and events: DISPID, kind, name, type) and the entry that converts variant arguments to the
// member's parameter types and calls it.
#include <QMap>

#include "dorlin/CDorlinCtrl.h"

using namespace dorlin;

namespace {

using Ctrl = CDorlinCtrl;
using Args = QVariantList;

// Parameter type letters: s string, h short, l long, b BOOL, p TCP port. A '|' starts optional
// ones. Properties come from the property table (CDorlinCtrl::Properties).
struct Member {
    int id;
    char kind; // 'p' property, 'm' method, 'e' event
    const char* name;
    const char* type;   // value type, or result type of a method
    const char* params; // letters
    const char* decl;   // parameter list as written in the table
    std::function<QVariant(Ctrl*, const Args&)> call;
    const Ctrl::Property* prop; // a property's row
};

#define DORLIN_METHOD(ID, NAME, TYPE, L, DECL, BODY)                                               \
    Member {                                                                                       \
        ID, 'm', #NAME, TYPE, L, DECL,                                                             \
            []([[maybe_unused]] Ctrl * c, [[maybe_unused]] const Args& a) BODY, nullptr            \
    }

short S(const QVariant& v) {
    return short(v.toInt());
}
bool B(const QVariant& v) {
    return v.toBool();
}
QString T(const QVariant& v) {
    return v.toString();
}

const std::vector<Member>& Members() {
    static const std::vector<Member> m = [] {
        std::vector<Member> all;
        for (const Ctrl::Property& p : Ctrl::Properties())
            all.push_back(Member{p.dispid, 'p', p.name, p.type, "", "", nullptr, &p});
        const Member rest[] = {
            DORLIN_METHOD(DISPID_Cancel, Cancel, "BOOL", "", "", { return c->Cancel(); }),
            DORLIN_METHOD(DISPID_PostFile, PostFile, "BOOL", "s", "string FileName",
                          { return c->PostFile(T(a[0])); }),
            DORLIN_METHOD(DISPID_RecvFile, RecvFile, "BOOL", "s|b",
                          "string szFileName, [BOOL bAppend]",
                          { return c->RecvFile(T(a[0]), a.size() > 1 && B(a[1])); }),
            DORLIN_METHOD(DISPID_ClareTxBuffer, ClareTxBuffer, "BOOL", "", "",
                          { return c->ClareTxBuffer(); }),
            DORLIN_METHOD(DISPID_ClearRxBuffer, ClearRxBuffer, "BOOL", "", "",
                          { return c->ClearRxBuffer(); }),
            DORLIN_METHOD(DISPID_SendRnetCmd, SendRnetCmd, "string", "sbb",
                          "string sData, BOOL tChkSum, BOOL rChkSum",
                          { return c->SendRnetCmd(T(a[0]), B(a[1]), B(a[2])); }),
            DORLIN_METHOD(DISPID_Polling, Polling, "string", "h", "short ID",
                          { return c->Polling(S(a[0])); }),
            DORLIN_METHOD(DISPID_SetID, SetID, "BOOL", "h", "short ID",
                          { return c->SetID(S(a[0])); }),
            DORLIN_METHOD(DISPID_Login, Login, "BOOL", "s", "string Password",
                          { return c->Login(T(a[0])); }),
            DORLIN_METHOD(DISPID_Logout, Logout, "BOOL", "", "", { return c->Logout(); }),
            DORLIN_METHOD(DISPID_SetPassword, SetPassword, "BOOL", "s", "string Password",
                          { return c->SetPassword(T(a[0])); }),
            DORLIN_METHOD(DISPID_GetTime, GetTime, "string", "", "", { return c->GetTime(); }),
            DORLIN_METHOD(DISPID_GetVersion, GetVersion, "string", "", "",
                          { return c->GetVersion(); }),
            DORLIN_METHOD(DISPID_Reset, Reset, "BOOL", "", "", { return c->Reset(); }),
            DORLIN_METHOD(DISPID_GetRecord, GetRecord, "string", "h", "short Number",
                          { return c->GetRecord(S(a[0])); }),
            DORLIN_METHOD(DISPID_EraseRecord, EraseRecord, "BOOL", "h", "short Number",
                          { return c->EraseRecord(S(a[0])); }),
            DORLIN_METHOD(DISPID_WriteRecord, WriteRecord, "BOOL", "hs",
                          "short Number, string sData",
                          { return c->WriteRecord(S(a[0]), T(a[1])); }),
            DORLIN_METHOD(DISPID_GetRegister, GetRegister, "string", "h", "short Addr",
                          { return c->GetRegister(S(a[0])); }),
            DORLIN_METHOD(DISPID_SetRegister, SetRegister, "BOOL", "hs", "short Addr, string Param",
                          { return c->SetRegister(S(a[0]), T(a[1])); }),
            DORLIN_METHOD(DISPID_Dial, Dial, "BOOL", "s", "string PhonNumber",
                          { return c->Dial(T(a[0])); }),
            DORLIN_METHOD(
                DISPID_SetTime, SetTime, "BOOL", "hhhhhhh",
                "short Year, short Month, short Day, short Hour, short Minute, short Second, "
                "short Week",
                {
                    return c->SetTime(S(a[0]), S(a[1]), S(a[2]), S(a[3]), S(a[4]), S(a[5]),
                                      S(a[6]));
                }),
            DORLIN_METHOD(DISPID_GetFileInfo, GetFileInfo, "string", "h", "short Index",
                          { return c->GetFileInfo(S(a[0])); }),
            DORLIN_METHOD(DISPID_SendFileReq, SendFileReq, "BOOL", "sh",
                          "string szFileName, FILE_PROTOCOL nProtocol",
                          { return c->SendFileReq(T(a[0]), S(a[1])); }),
            DORLIN_METHOD(DISPID_RecvFileReq, RecvFileReq, "BOOL", "sh",
                          "string szFileName, FILE_PROTOCOL nProtocol",
                          { return c->RecvFileReq(T(a[0]), S(a[1])); }),
            DORLIN_METHOD(DISPID_DelFile, DelFile, "BOOL", "s", "string szFileName",
                          { return c->DelFile(T(a[0])); }),
            DORLIN_METHOD(DISPID_MkDir, MkDir, "BOOL", "s", "string szPath",
                          { return c->MkDir(T(a[0])); }),
            DORLIN_METHOD(DISPID_DelDir, DelDir, "BOOL", "s", "string szPath",
                          { return c->DelDir(T(a[0])); }),
            DORLIN_METHOD(DISPID_GetFileCount, GetFileCount, "short", "s", "string szPath",
                          { return c->GetFileCount(T(a[0])); }),
            DORLIN_METHOD(DISPID_LoginX, LoginX, "BOOL", "shh",
                          "string psw, short HiCode, short LoCode",
                          { return c->LoginX(T(a[0]), S(a[1]), S(a[2])); }),
            DORLIN_METHOD(DISPID_EnumCommPort, EnumCommPort, "string", "h", "short Index",
                          { return c->EnumCommPort(S(a[0])); }),
            DORLIN_METHOD(DISPID_GetRecordCount, GetRecordCount, "long", "", "",
                          { return QVariant::fromValue(c->GetRecordCount()); }),
            DORLIN_METHOD(DISPID_AboutBox, AboutBox, "void", "", "",
                          {
                              c->AboutBox();
                              return QVariant();
                          }),

            Member{DISPID_OnComm, 'e', "OnComm", "void", "", "", nullptr, nullptr},
            Member{DISPID_OnTransfer, 'e', "OnTransfer", "void", "hl",
                   "XMODEM_MSG nCode, long lValue", nullptr, nullptr},
            Member{DISPID_RnetMonitor, 'e', "RnetMonitor", "void", "hs",
                   "RNET_MONITOR Index, string Message", nullptr, nullptr},
            Member{DISPID_ReadyStateChange, 'e', "ReadyStateChange", "void", "", "", nullptr,
                   nullptr},
        };
        all.insert(all.end(), std::begin(rest), std::end(rest));
        return all;
    }();
    return m;
}

const Member* Find(int id) {
    for (const Member& m : Members())
        if (m.kind != 'e' && m.id == id) return &m;
    return nullptr;
}

bool ParseBool(const QVariant& v, bool* out) {
    if (v.typeId() == QMetaType::Bool) {
        *out = v.toBool();
        return true;
    }
    if (v.typeId() == QMetaType::QString || v.typeId() == QMetaType::QByteArray) {
        const QString s = v.toString().trimmed().toUpper();
        if (s == "TRUE" || s == "1" || s == "-1")
            *out = true;
        else if (s == "FALSE" || s == "0")
            *out = false;
        else
            return false;
        return true;
    }
    bool ok = false;
    const qlonglong n = v.toLongLong(&ok);
    if (!ok) return false;
    *out = n != 0;
    return true;
}

// Converts one argument to the type letter; false on a mismatch or overflow.
bool Convert(char t, const QVariant& in, QVariant* out) {
    bool ok = false;
    switch (t) {
    case 's':
        if (!in.canConvert<QString>()) return false;
        *out = in.toString();
        return true;
    case 'b': {
        bool b = false;
        if (!ParseBool(in, &b)) return false;
        *out = b;
        return true;
    }
    case 'h': {
        const qlonglong n = in.typeId() == QMetaType::Bool
                                ? (in.toBool() ? -1 : 0)
                                : in.toString().trimmed().toLongLong(&ok);
        if (in.typeId() != QMetaType::Bool && !ok) return false;
        if (n < -32768 || n > 32767) return false;
        *out = int(n);
        return true;
    }
    case 'p': {
        // A TCP port: 1..65535, or its 16 bits as a negative short (as older hosts pass it).
        const qlonglong n = in.toString().trimmed().toLongLong(&ok);
        if (!ok || n == 0 || n < -32768 || n > 65535) return false;
        *out = int(n);
        return true;
    }
    case 'l': {
        const qlonglong n = in.typeId() == QMetaType::Bool
                                ? (in.toBool() ? -1 : 0)
                                : in.toString().trimmed().toLongLong(&ok);
        if (in.typeId() != QMetaType::Bool && !ok) return false;
        if (n < INT32_MIN || n > INT32_MAX) return false;
        *out = int(n);
        return true;
    }
    }
    return false;
}

QVariant Fail(int code, const QString& text, int* errCode, QString* errText) {
    if (errCode) *errCode = code;
    if (errText) *errText = text;
    return QVariant();
}

QString TypeText(const Member& m) {
    if (m.kind == 'p') return QString::fromLatin1(m.type);
    return QStringLiteral("%1(%2)").arg(QString::fromLatin1(m.type), QString::fromLatin1(m.decl));
}

} // namespace

QList<CDorlinCtrl::DispInfo> CDorlinCtrl::DispatchTable() {
    QList<DispInfo> out;
    for (const Member& m : Members()) {
        const QString kind = m.kind == 'p' ? "property" : m.kind == 'm' ? "method" : "event";
        out << DispInfo{m.id, kind, QString::fromLatin1(m.name), TypeText(m),
                        m.kind == 'p' && !m.prop->put};
    }
    return out;
}

int CDorlinCtrl::DispIdOf(const QString& name, bool* isProperty) {
    for (const Member& m : Members()) {
        if (m.kind == 'e') continue;
        if (name.compare(QLatin1String(m.name), Qt::CaseInsensitive) == 0) {
            if (isProperty) *isProperty = m.kind == 'p';
            return m.id;
        }
    }
    return 0;
}

QVariant CDorlinCtrl::Invoke(int dispid, DispKind kind, const QVariantList& args, int* errCode,
                             QString* errText) {
    if (errCode) *errCode = 0;
    if (errText) errText->clear();
    const Member* m = Find(dispid);
    if (!m) return Fail(DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND", errCode, errText);

    if (m->kind == 'p') {
        if (kind == DispKind::Put) {
            if (!m->prop->put)
                return Fail(CTL_E_SETNOTSUPPORTED, "CTL_E_SETNOTSUPPORTED", errCode, errText);
            if (args.size() != 1)
                return Fail(DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT", errCode, errText);
            QVariant v;
            if (!Convert(m->prop->arg, args[0], &v))
                return Fail(DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH", errCode, errText);
            settingError_.clear();
            m->prop->put(this, v);
            if (!settingError_.isEmpty())
                return Fail(CTL_E_INVALIDPROPERTYVALUE,
                            QStringLiteral("CTL_E_INVALIDPROPERTYVALUE: ") + settingError_, errCode,
                            errText);
            return QVariant(true);
        }
        // A property read as a method call, as scripting hosts do.
        if (!args.isEmpty())
            return Fail(DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT", errCode, errText);
        return m->prop->get(this);
    }

    if (kind == DispKind::Put)
        return Fail(DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND", errCode, errText);
    const QByteArray sig(m->params);
    const int bar = sig.indexOf('|');
    const QByteArray types = QByteArray(sig).replace("|", "");
    const int required = bar < 0 ? int(sig.size()) : bar;
    if (args.size() < required || args.size() > types.size())
        return Fail(DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT", errCode, errText);
    QVariantList conv;
    for (int i = 0; i < args.size(); ++i) {
        QVariant v;
        if (!Convert(types[i], args[i], &v))
            return Fail(DISP_E_TYPEMISMATCH,
                        QStringLiteral("DISP_E_TYPEMISMATCH (argument %1)").arg(i + 1), errCode,
                        errText);
        conv << v;
    }
    return m->call(this, conv);
}

QVariant CDorlinCtrl::InvokeByName(const QString& name, DispKind kind, const QVariantList& args,
                                   int* errCode, QString* errText) {
    const int id = DispIdOf(name);
    if (id == 0) {
        if (errCode) *errCode = DISP_E_MEMBERNOTFOUND;
        if (errText) *errText = QStringLiteral("DISP_E_UNKNOWNNAME");
        return QVariant();
    }
    return Invoke(id, kind, args, errCode, errText);
}
