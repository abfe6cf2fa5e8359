#include "pelmar/dialogs/frmSettings.h"

#include "DialogSupport.h"
#include "pelmar/dialogs/DialogUserPrompt.h"
#include "pelmar/dialogs/clsTextFMT.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <lvlang/modLanguage.h>

namespace pelmar::dialogs {

namespace {

constexpr int32_t kMinOffTime = 3, kMaxLCDOffTime = 255;
// Power mode option index -> register value.
constexpr int kPowerModes[3] = {1, 255, 0};

QTime Seconds(int32_t s) {
    return QTime(0, 0).addSecs(std::clamp<int32_t>(s, 0, 86399));
}

int32_t ToSeconds(const QTime& t) {
    return QTime(0, 0).secsTo(t);
}

// Copies one field (by its record name) from one settings record to another.
struct FieldCopy {
    const char* name;
    void (*copy)(DeviceSettings& to, const DeviceSettings& from);
};
const FieldCopy kFieldCopies[] = {
    {"MacID", [](DeviceSettings& t, const DeviceSettings& f) { t.MacID = f.MacID; }},
    {"UserName", [](DeviceSettings& t, const DeviceSettings& f) { t.UserName = f.UserName; }},
    {"PowerMode", [](DeviceSettings& t, const DeviceSettings& f) { t.PowerMode = f.PowerMode; }},
    {"PowerOffTime",
     [](DeviceSettings& t, const DeviceSettings& f) { t.PowerOffTime = f.PowerOffTime; }},
    {"Beep", [](DeviceSettings& t, const DeviceSettings& f) { t.Beep = f.Beep; }},
    {"DateMode", [](DeviceSettings& t, const DeviceSettings& f) { t.DateMode = f.DateMode; }},
    {"LCDOffTime", [](DeviceSettings& t, const DeviceSettings& f) { t.LCDOffTime = f.LCDOffTime; }},
    {"LargeFonts", [](DeviceSettings& t, const DeviceSettings& f) { t.LargeFonts = f.LargeFonts; }},
    {"OptionsOfEvent",
     [](DeviceSettings& t, const DeviceSettings& f) { t.OptionsOfEvent = f.OptionsOfEvent; }},
    {"ScanMode", [](DeviceSettings& t, const DeviceSettings& f) { t.ScanMode = f.ScanMode; }},
    {"IsLockDateTime",
     [](DeviceSettings& t, const DeviceSettings& f) { t.IsLockDateTime = f.IsLockDateTime; }},
    {"RFIDScanTime",
     [](DeviceSettings& t, const DeviceSettings& f) { t.RFIDScanTime = f.RFIDScanTime; }},
};

void CopyField(DeviceSettings& to, const DeviceSettings& from, const QString& name) {
    for (const FieldCopy& c : kFieldCopies)
        if (name == QLatin1String(c.name)) c.copy(to, from);
}

QString MsgTitle() {
    return lvlang::LangString(QStringLiteral("10000"), QStringLiteral("Kt5 Utility"));
}

} // namespace

frmSettings::frmSettings(modKt9& kt9, IReaderLink& link, QWidget* parent)
    : QDialog(parent), kt9_(kt9), link_(link) {
    Build();
    setWindowTitle(QStringLiteral(" ") + AppTitle() + QStringLiteral(" Settings"));
    LoadFormLanguage(this);
}

void frmSettings::Build() {
    setObjectName(QStringLiteral("frmSettings"));
    ui::SetTag(this, QStringLiteral("lng:{cap=16000}"));
    BuildReaderFields();
    BuildPowerMode();
    BuildEventAndScanFields();
    auto* lay = new QVBoxLayout(this);
    lay->addLayout(BuildColumns());
    lay->addWidget(BuildAdjusted());
    lay->addWidget(BuildButtons());
    ConnectChanges();
}

void frmSettings::BuildReaderFields() {

    txtMacID = Named(new QLineEdit(QStringLiteral("00")), "txtMacID");
    txtUserName = Named(new QLineEdit, "txtUserName");
    fmtMacID = new clsTextFMT(this);
    fmtMacID->SetFMTTextBox(txtMacID);
    fmtMacID->SetFMTType(clsTextFMT::FMTHex);
    fmtMacID->SetByteLen(2);
    fmtUserName = new clsTextFMT(this);
    fmtUserName->SetFMTTextBox(txtUserName);
    fmtUserName->SetFMTType(clsTextFMT::FMTText);
    fmtUserName->SetByteLen(16);

    chkOpSound = Named(new QCheckBox(QStringLiteral("Operate sound enabled")), "chkOpSound",
                       QStringLiteral("lng:{cap=16003}"));
    cboDateFormat = Named(new QComboBox, "cboDateFormat");
    cboDateFormat->addItem(QStringLiteral("MM/DD/YYYY"), int(kDateModeMDY));
    cboDateFormat->addItem(QStringLiteral("YYYY/MM/DD"), int(kDateModeYMD));
    cboDateFormat->addItem(QStringLiteral("DD/MM/YYYY"), int(kDateModeDMY));
    dtpLCDOffTime = Named(new QTimeEdit, "dtpLCDOffTime");
    dtpLCDOffTime->setDisplayFormat(QStringLiteral("m  :  ss"));
    chkLargeFonts = Named(new QCheckBox(QStringLiteral("Use Large Fonts")), "chkLargeFonts",
                          QStringLiteral("lng:{cap=16006}"));
}

void frmSettings::BuildPowerMode() {
    fraOption = Named(new QGroupBox(QStringLiteral("Power Mode")), "fraOption",
                      QStringLiteral("lng:{cap=16007}"));
    const char* optNames[3] = {"optPower_0", "optPower_1", "optPower_2"};
    const char* optTexts[3] = {"Real Control", "Switch Control", "Auto Power Off"};
    const char* optTags[3] = {"lng:{cap=16008}", "lng:{cap=16009}", "lng:{cap=16010}"};
    auto* pl = new QGridLayout(fraOption);
    for (int i = 0; i < 3; ++i) {
        optPower[i] = Named(new QRadioButton(QString::fromLatin1(optTexts[i])), optNames[i],
                            QString::fromLatin1(optTags[i]));
        pl->addWidget(optPower[i], i, 0);
    }
    dtpPowerOffTime = Named(new QTimeEdit, "dtpPowerOffTime");
    dtpPowerOffTime->setDisplayFormat(QStringLiteral(" mm  :  ss"));
    pl->addWidget(dtpPowerOffTime, 2, 1);
    pl->setColumnStretch(1, 1);
}

void frmSettings::BuildEventAndScanFields() {
    cboNumberOfEvent = Named(new QComboBox, "cboNumberOfEvent");
    for (int i = 1; i <= 9; ++i)
        cboNumberOfEvent->addItem(QString::number(i), i);
    cboNumberOfEvent->addItem(QStringLiteral("10"), 255);
    cboScanMode =
        Named(new QComboBox, "cboScanMode", QStringLiteral("lng:{lst(0)=16013, lst(1)=16014}"));
    cboScanMode->addItem(QStringLiteral("Continuous"), 0);
    cboScanMode->addItem(QStringLiteral("Button"), 255);
    chkLockDateTime = Named(new QCheckBox(QStringLiteral("Unmodifiable date/time")),
                            "chkLockDateTime", QStringLiteral("lng:{cap=16015}"));
    txtRFIDScanTime = Named(new QLineEdit(QStringLiteral("10")), "txtRFIDScanTime");
    fmtScanTime = new clsTextFMT(this);
    fmtScanTime->SetFMTTextBox(txtRFIDScanTime);
    fmtScanTime->SetFMTType(clsTextFMT::FMTDecimal);
    fmtScanTime->SetMaxValue(254);
    fmtScanTime->SetMinValue(5);
    // The spinner rests in the middle of 0..2. Its upper arrow steps the bar down to 0 and
    // adds one to the scan time; the lower arrow steps it up to 2 and takes one away.
    UpDownScanTime = Named(new QScrollBar(Qt::Vertical), "UpDownScanTime");
    UpDownScanTime->setRange(0, 2);
    UpDownScanTime->setValue(1);
    UpDownScanTime->setFixedHeight(txtRFIDScanTime->sizeHint().height());
}

QHBoxLayout* frmSettings::BuildColumns() {
    // Layout: reader identity and display settings on the left, power and locks on the right.
    auto label = [](const char* name, const char* text, int id) {
        return Named(new QLabel(QString::fromLatin1(text)), name,
                     QStringLiteral("lng:{cap=%1}").arg(id));
    };
    const struct {
        const char* name;
        const char* text;
        int id;
        QWidget* field;
    } rows[] = {
        {"labMacID", "Machine ID", 16001, txtMacID},
        {"labUserName", "User Name", 16002, txtUserName},
        {"labDateFormat", "Date Format", 16004, cboDateFormat},
        {"labLCDOffTime", "LCD Back-Light Off Time", 16005, dtpLCDOffTime},
        {"labNumberOfEvent", "Options of event", 16011, cboNumberOfEvent},
        {"labScanMode", "Scan mode", 16012, cboScanMode},
    };
    auto* left = new QFormLayout;
    for (const auto& r : rows)
        left->addRow(label(r.name, r.text, r.id), r.field);
    auto* scanRow = new QHBoxLayout;
    scanRow->setSpacing(0);
    scanRow->addWidget(txtRFIDScanTime, 1);
    scanRow->addWidget(UpDownScanTime);
    left->addRow(label("labRFIDScanTime", "RFID scan time", 16016), scanRow);
    txtMacID->setMaximumWidth(txtMacID->fontMetrics().horizontalAdvance(QStringLiteral("MMMMMM")));
    auto* right = new QVBoxLayout;
    right->addWidget(fraOption);
    right->addWidget(chkOpSound);
    right->addWidget(chkLargeFonts);
    right->addWidget(chkLockDateTime);
    right->addStretch(1);
    auto* columns = new QHBoxLayout;
    columns->addLayout(left, 3);
    columns->addSpacing(fontMetrics().averageCharWidth() * 2);
    columns->addLayout(right, 2);
    return columns;
}

QGroupBox* frmSettings::BuildAdjusted() {
    // Shown only when some value the reader holds lies outside what its control offers.
    fraAdjusted = Named(new QGroupBox, "fraAdjusted");
    labAdjusted = Named(new QLabel, "labAdjusted");
    labAdjusted->setWordWrap(true);
    chkWriteAdjusted = Named(new QCheckBox(QStringLiteral("Write the values shown")),
                             "chkWriteAdjusted", QStringLiteral("lng:{cap=19201}"));
    auto* adjustedLay = new QVBoxLayout(fraAdjusted);
    adjustedLay->addWidget(labAdjusted);
    adjustedLay->addWidget(chkWriteAdjusted);
    fraAdjusted->setVisible(false);
    return fraAdjusted;
}

QDialogButtonBox* frmSettings::BuildButtons() {
    auto* box = new QDialogButtonBox;
    cmdOK = Named(new QPushButton(QStringLiteral("OK")), "cmdOK", QStringLiteral("lng:{cap=1000}"));
    cmdCancel = Named(new QPushButton(QStringLiteral("Cancel")), "cmdCancel",
                      QStringLiteral("lng:{cap=1001}"));
    cmdOK->setDefault(true);
    box->addButton(cmdOK, QDialogButtonBox::AcceptRole);
    box->addButton(cmdCancel, QDialogButtonBox::RejectRole);
    return box;
}

void frmSettings::ConnectChanges() {
    // Change handlers: each keeps Edited up to date and then updates OK.
    connect(txtMacID, &QLineEdit::textChanged, this, [this](const QString& t) {
        Edited_.MacID = t;
        Touched("MacID");
    });
    connect(txtUserName, &QLineEdit::textChanged, this, [this](const QString& t) {
        Edited_.UserName = t;
        Touched("UserName");
    });
    connect(txtRFIDScanTime, &QLineEdit::textChanged, this, [this](const QString& t) {
        Edited_.RFIDScanTime = uint8_t(t.toUInt() & 0xFF);
        Touched("RFIDScanTime");
    });
    connect(UpDownScanTime, &QScrollBar::valueChanged, this, &frmSettings::OnScanSpin);
    for (int i = 0; i < 3; ++i)
        connect(optPower[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (!on) return;
            Edited_.PowerMode = int16_t(kPowerModes[i]);
            Touched("PowerMode");
        });
    // The off times: a time outside their range is put back into it.
    auto offTime = [this](QTimeEdit* edit, int32_t DeviceSettings::*field, const int32_t* max,
                          const char* name) {
        connect(edit, &QTimeEdit::timeChanged, this, [this, edit, field, max, name](QTime t) {
            const int32_t s = std::clamp(ToSeconds(t), kMinOffTime, *max);
            if (s != ToSeconds(t)) {
                edit->setTime(Seconds(s));
                return;
            }
            Edited_.*field = s;
            Touched(name);
        });
    };
    offTime(dtpPowerOffTime, &DeviceSettings::PowerOffTime, &MaxPowerOffTime_, "PowerOffTime");
    offTime(dtpLCDOffTime, &DeviceSettings::LCDOffTime, &kMaxLCDOffTime, "LCDOffTime");
    auto check = [this](QCheckBox* c, bool DeviceSettings::*field, const char* name) {
        connect(c, &QCheckBox::toggled, this, [this, field, name](bool on) {
            Edited_.*field = on;
            Touched(name);
        });
    };
    check(chkOpSound, &DeviceSettings::Beep, "Beep");
    check(chkLargeFonts, &DeviceSettings::LargeFonts, "LargeFonts");
    check(chkLockDateTime, &DeviceSettings::IsLockDateTime, "IsLockDateTime");
    connect(cboDateFormat, &QComboBox::currentIndexChanged, this, [this](int i) {
        Edited_.DateMode = int16_t(i < 0 ? 255 : cboDateFormat->itemData(i).toInt());
        Touched("DateMode");
    });
    connect(cboNumberOfEvent, &QComboBox::currentIndexChanged, this, [this](int i) {
        Edited_.OptionsOfEvent = uint8_t(i < 0 ? 0 : cboNumberOfEvent->itemData(i).toInt());
        const int n = cboNumberOfEvent->currentText().toInt();
        cboNumberOfEvent->setToolTip(
            n > 1 ? lvlang::LangFormat(19404, QStringLiteral("Events from 0 to %d"), n - 1)
                  : lvlang::LangString(19405, QStringLiteral("Event 0")));
        Touched("OptionsOfEvent");
    });
    connect(cboScanMode, &QComboBox::currentIndexChanged, this, [this](int i) {
        Edited_.ScanMode = uint8_t(i < 0 ? 0 : cboScanMode->itemData(i).toInt());
        Touched("ScanMode");
    });
    connect(chkWriteAdjusted, &QCheckBox::toggled, this, [this](bool on) {
        // Confirmed: the values shown are written; otherwise the reader keeps its own.
        for (const QString& name : Adjusted_)
            CopyField(Edited_, on ? Shown_ : Loaded_, name);
        UpdateOK();
    });
    connect(cmdOK, &QPushButton::clicked, this, &frmSettings::OnOK);
    connect(cmdCancel, &QPushButton::clicked, this, &frmSettings::reject);
}

void frmSettings::OnScanSpin(int value) {
    if (value == 1) return;
    const int n = txtRFIDScanTime->text().toInt() + (1 - value);
    txtRFIDScanTime->setText(QString::number(n));
    txtRFIDScanTime->end(false);
    UpDownScanTime->setValue(1);
}

void frmSettings::Touched(const char* field) {
    // A field the user changed is written as shown, adjusted on reading or not.
    if (!filling_) Adjusted_.removeAll(QString::fromLatin1(field));
    UpdateOK();
}

void frmSettings::UpdateOK() {
    cmdOK->setEnabled(!(Edited_ == Loaded_));
}

void frmSettings::SelectByValue(QComboBox* box, int value) {
    // The item with the value wins; the 255 item is taken when nothing matches; the last
    // item when there is neither.
    int sel = -1;
    for (int i = 0; i < box->count(); ++i) {
        const int v = box->itemData(i).toInt();
        if (v == value) {
            sel = i;
            break;
        }
        if (v == 255 && sel < 0) sel = i;
    }
    if (sel < 0) sel = box->count() - 1;
    box->setCurrentIndex(sel);
}

void frmSettings::SelectDateMode(int mode) {
    const int want = mode == kDateModeMDY   ? kDateModeMDY
                     : mode == kDateModeDMY ? kDateModeDMY
                                            : kDateModeYMD;
    cboDateFormat->setCurrentIndex(cboDateFormat->findData(want));
}

bool frmSettings::LoadFromReader() {
    MaxPowerOffTime_ = 255;
    QString version = link_.GetVersion();
    if (version.isEmpty()) version = link_.GetVersion();
    MaxPowerOffTime_ = pelmar::MaxPowerOffTime(version);
    DeviceSettings s;
    const SettingsOutcome r = ReadDeviceSettings(kt9_, s);
    CurrentItem_ = r.item;
    if (!r.ok) return false;
    // A link that closed (reader unplugged) answers every getter with its failure value and
    // no time-out: nothing was read, so nothing is shown.
    if (!link_.PortOpen()) {
        CurrentItem_ = QStringLiteral("MacID");
        return false;
    }
    Fill(s);
    cboDateFormat->setEnabled(kt9_.ReadRecordCount() < 1);
    return true;
}

void frmSettings::Fill(const DeviceSettings& s) {
    filling_ = true;
    Loaded_ = s;
    Edited_ = s;
    txtMacID->setText(s.MacID);
    txtMacID->end(false);
    txtUserName->setText(s.UserName);
    txtUserName->end(false);
    optPower[s.PowerMode == 1 ? 0 : s.PowerMode == 255 ? 1 : 2]->setChecked(true);
    dtpPowerOffTime->setTime(Seconds(s.PowerOffTime));
    chkOpSound->setChecked(s.Beep);
    SelectDateMode(s.DateMode);
    chkLargeFonts->setChecked(s.LargeFonts);
    cboNumberOfEvent->setCurrentIndex(-1);
    SelectByValue(cboNumberOfEvent, s.OptionsOfEvent);
    cboScanMode->setCurrentIndex(-1);
    SelectByValue(cboScanMode, s.ScanMode);
    chkLockDateTime->setChecked(s.IsLockDateTime);
    txtRFIDScanTime->setText(QString::number(s.RFIDScanTime));
    dtpLCDOffTime->setTime(Seconds(s.LCDOffTime));
    // Values outside what their controls offer (a scan time of 2, a power-off time of one
    // second, an unknown list code) show brought into range; the reader keeps its own value
    // unless the user changes the field or confirms the values shown.
    Shown_ = Edited_;
    if (Shown_.RFIDScanTime < 5 || Shown_.RFIDScanTime > 254) {
        Shown_.RFIDScanTime = uint8_t(std::clamp<int>(Shown_.RFIDScanTime, 5, 254));
        txtRFIDScanTime->setText(QString::number(Shown_.RFIDScanTime));
    }
    filling_ = false;
    Adjusted_.clear();
    for (const QString& name : DeviceSettings::FieldNames())
        if (Shown_.Field(name) != Loaded_.Field(name)) Adjusted_ << name;
    Edited_ = Loaded_;
    ShowAdjusted();
    Applied_ = ApplyFailed_ = false;
    UpdateOK();
}

QString frmSettings::FieldCaption(const QString& name) const {
    auto text = [](const QWidget* w) {
        QString t = w->property("text").toString();
        if (t.isEmpty()) t = w->property("title").toString();
        return t.remove(QLatin1Char('&')).trimmed();
    };
    if (name == QLatin1String("PowerMode")) return text(fraOption);
    if (name == QLatin1String("PowerOffTime")) return text(optPower[2]);
    if (name == QLatin1String("Beep")) return text(chkOpSound);
    if (name == QLatin1String("LargeFonts")) return text(chkLargeFonts);
    if (name == QLatin1String("IsLockDateTime")) return text(chkLockDateTime);
    static const char* const kLabels[][2] = {{"MacID", "labMacID"},
                                             {"UserName", "labUserName"},
                                             {"DateMode", "labDateFormat"},
                                             {"LCDOffTime", "labLCDOffTime"},
                                             {"OptionsOfEvent", "labNumberOfEvent"},
                                             {"ScanMode", "labScanMode"},
                                             {"RFIDScanTime", "labRFIDScanTime"}};
    for (const auto& l : kLabels)
        if (name == QLatin1String(l[0]))
            if (auto* w = findChild<QLabel*>(QString::fromLatin1(l[1]))) return text(w);
    return name;
}

QString frmSettings::ValueText(const QString& name, const DeviceSettings& s) const {
    // Times as their pickers show them (minutes : seconds), list codes as the list's entry.
    if (name == QLatin1String("PowerOffTime") || name == QLatin1String("LCDOffTime")) {
        const int32_t v = name == QLatin1String("PowerOffTime") ? s.PowerOffTime : s.LCDOffTime;
        return QStringLiteral("%1:%2")
            .arg(v / 60, 2, 10, QLatin1Char('0'))
            .arg(v % 60, 2, 10, QLatin1Char('0'));
    }
    const QComboBox* list = name == QLatin1String("OptionsOfEvent") ? cboNumberOfEvent
                            : name == QLatin1String("ScanMode")     ? cboScanMode
                            : name == QLatin1String("DateMode")     ? cboDateFormat
                                                                    : nullptr;
    if (list) {
        const int at = list->findData(s.Field(name).toInt());
        if (at >= 0) return list->itemText(at);
    }
    return s.Field(name);
}

void frmSettings::ShowAdjusted() {
    const QSignalBlocker block(chkWriteAdjusted);
    chkWriteAdjusted->setChecked(false);
    fraAdjusted->setVisible(!Adjusted_.isEmpty());
    QStringList lines;
    for (const QString& name : Adjusted_)
        lines << lvlang::LangFormat(
            QStringLiteral("19202"), QStringLiteral("%s: the reader holds %s, shown as %s"),
            FieldCaption(name), ValueText(name, Loaded_), ValueText(name, Shown_));
    labAdjusted->setText(
        lvlang::LangString(QStringLiteral("19200"),
                           QStringLiteral("Brought into range when read (not written unless "
                                          "changed or confirmed):")) +
        QLatin1Char('\n') + lines.join(QLatin1Char('\n')));
}

void frmSettings::OnOK() {
    if (!cmdOK->isEnabled() || !cmdCancel->isEnabled()) return;
    // A number still being typed is settled first, as if the field had lost the focus.
    fmtScanTime->Commit();
    fmtMacID->Commit();
    cmdOK->setEnabled(false);
    cmdCancel->setEnabled(false);
    Applied_ = true;
    const SettingsOutcome r = ApplyDeviceSettings(kt9_, Loaded_, Edited_);
    if (r.dateModeKept) {
        // The reader holds records now: the date format stays as it was.
        SelectDateMode(Loaded_.DateMode);
        cboDateFormat->setEnabled(false);
    }
    if (!r.ok) {
        ApplyFailed_ = true;
        CurrentItem_ = r.item;
    } else {
        Loaded_ = Edited_;
    }
    cmdCancel->setEnabled(true);
    accept();
}

void frmSettings::reject() {
    // No closing while the write sequence runs.
    if (!cmdCancel->isEnabled()) return;
    QDialog::reject();
}

void frmSettings::closeEvent(QCloseEvent* e) {
    if (!cmdCancel->isEnabled()) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

bool ShowSettings(modKt9& kt9, IReaderLink& link, QWidget* parent) {
    frmSettings dlg(kt9, link, parent);
    if (!dlg.LoadFromReader()) {
        MsgBox(parent, MsgKind::Critical,
               QStringLiteral("Get ") + dlg.CurrentItem() +
                   QStringLiteral(" NG\r\nCan't connect to ") + AppTitle() + QStringLiteral("!"),
               MsgTitle());
        return false;
    }
    dlg.exec();
    if (dlg.Applied() && dlg.ApplyFailed()) {
        MsgBox(parent, MsgKind::Critical,
               QStringLiteral("Set ") + dlg.CurrentItem() + QStringLiteral(" NG"), MsgTitle());
        return false;
    }
    if (dlg.Applied()) {
        MsgBox(parent, MsgKind::Information,
               lvlang::LangString(QStringLiteral("16100"), QStringLiteral("Apply Settings OK!")),
               MsgTitle());
    }
    return true;
}

} // namespace pelmar::dialogs
