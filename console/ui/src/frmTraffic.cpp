#include "pelmar/ui/frmTraffic.h"

#include "pelmar/ui/QtPropertyHost.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <dorlin/CDorlinCtrl.h>
#include <dorlin/Rnet.h>
#include <lvlang/modLanguage.h>

namespace pelmar::ui {
namespace {

QString Readable(const QString& s) {
    return QString::fromStdString(rnet::Visible(s.toLatin1().toStdString()));
}

bool IsHexDigit(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Splits a trailing checksum off when the last two characters are the sum of the rest.
bool SplitChecksum(const QString& body, QString& text, QString& sum) {
    if (body.size() < 3 || !IsHexDigit(body[body.size() - 1]) || !IsHexDigit(body[body.size() - 2]))
        return false;
    const QString head = body.left(body.size() - 2);
    const std::string expected = rnet::CheckSumText(head.toLatin1().toStdString());
    if (QString::fromStdString(expected) != body.right(2)) return false;
    text = head;
    sum = body.right(2);
    return true;
}

// Catalogue ids of the texts the list shows for directions and statuses; the saved list keeps
// the English words.
struct Shown {
    const char* english;
    int id;
};
constexpr Shown kShownTexts[] = {
    {"note", 19020},         {"send", 19021},           {"recv", 19022},     {"OK", 19023},
    {"no checksum", 19024},  {"checksum error", 19025}, {"time-out", 19026}, {"no STX", 19027},
    {"no CR", 19028},        {"refused", 19029},        {"accepted", 19030}, {"reply", 19031},
    {"unknown kind", 19032},
};

QString L(int id, const char* fallback) {
    return lvlang::LangString(id, QString::fromUtf8(fallback));
}

} // namespace

QString TrafficShownText(const QString& english) {
    // A status of several faults ("no STX, no CR") is shown part by part.
    QStringList parts = english.split(QStringLiteral(", "));
    for (QString& part : parts)
        for (const Shown& t : kShownTexts)
            if (part == QLatin1String(t.english)) {
                part = L(t.id, t.english);
                break;
            }
    return parts.join(QStringLiteral(", "));
}

TrafficEntry DecodeMonitorEvent(short index, const QString& message, const QDateTime& when) {
    TrafficEntry e;
    e.when = when;
    e.index = index;
    e.raw = Readable(message);
    switch (index) {
    case 0:
        e.direction = QStringLiteral("note");
        e.text = message;
        if (message == QLatin1String("$TIMEOUT")) {
            e.status = QStringLiteral("time-out");
            e.fault = true;
        } else if (message == QLatin1String("$CHKSUM ERROR")) {
            e.status = QStringLiteral("checksum error");
            e.fault = true;
        } else {
            e.status = QStringLiteral("note");
        }
        break;
    case 1: {
        e.direction = QStringLiteral("send");
        QString body = message;
        QStringList faults;
        if (body.startsWith(QChar(rnet::STX)))
            body.remove(0, 1);
        else
            faults << QStringLiteral("no STX");
        if (body.endsWith(QChar(rnet::CR)))
            body.chop(1);
        else
            faults << QStringLiteral("no CR");
        if (!SplitChecksum(body, e.text, e.checksum)) e.text = body;
        e.fault = !faults.isEmpty();
        e.status =
            e.fault ? faults.join(QStringLiteral(", "))
                    : (e.checksum.isEmpty() ? QStringLiteral("no checksum") : QStringLiteral("OK"));
        break;
    }
    case 2: {
        e.direction = QStringLiteral("recv");
        // Only accepted replies longer than two characters carry a checksum.
        if (message.startsWith(QLatin1Char('A')) && message.size() > 2 &&
            SplitChecksum(message, e.text, e.checksum)) {
            e.status = QStringLiteral("OK");
        } else {
            e.text = message;
            e.status = message.startsWith(QLatin1Char('N'))   ? QStringLiteral("refused")
                       : message.startsWith(QLatin1Char('A')) ? QStringLiteral("accepted")
                                                              : QStringLiteral("reply");
        }
        break;
    }
    default:
        e.direction = QString::number(index);
        e.text = message;
        e.status = QStringLiteral("unknown kind");
        e.fault = true;
    }
    return e;
}

QString TrafficLine(const TrafficEntry& e) {
    return QStringList{e.when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
                       e.direction,
                       e.status,
                       Readable(e.text),
                       e.checksum,
                       e.raw}
        .join(QLatin1Char('\t'));
}

TrafficEntry MaskLoginId(const TrafficEntry& e) {
    if (e.index != 1 || e.text.size() < 2 ||
        (e.text[0] != QLatin1Char('L') && e.text[0] != QLatin1Char('P')))
        return e;
    TrafficEntry m = e;
    m.text = e.text.left(1) + QString(e.text.size() - 1, QLatin1Char('*'));
    if (!m.checksum.isEmpty()) m.checksum = QStringLiteral("**");
    m.raw = QStringLiteral("<STX>") + m.text + m.checksum + QStringLiteral("<CR>");
    return m;
}

frmTraffic::frmTraffic(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmTraffic"));
    setWindowTitle(QStringLiteral("Traffic Monitor"));
    SetTag(this, QStringLiteral("lng:{cap=19001}"));
    lstTraffic = new QTreeWidget(this);
    lstTraffic->setObjectName(QStringLiteral("lstTraffic"));
    SetTag(lstTraffic, QStringLiteral("lng:{clht(1)=19002, clht(2)=19003, clht(3)=19004, "
                                      "clht(4)=19005, clht(5)=19006, clht(6)=19007}"));
    lstTraffic->setHeaderLabels({QStringLiteral("Time"), QStringLiteral("Dir"),
                                 QStringLiteral("Status"), QStringLiteral("Text"),
                                 QStringLiteral("Sum"), QStringLiteral("Raw")});
    lstTraffic->setRootIsDecorated(false);
    lstTraffic->setUniformRowHeights(true);
    lstTraffic->setAlternatingRowColors(true);
    lstTraffic->header()->setStretchLastSection(true);
    labSummary = new QLabel(this);
    labSummary->setObjectName(QStringLiteral("labSummary"));
    cmdSave = new QPushButton(QStringLiteral("Save..."), this);
    cmdSave->setObjectName(QStringLiteral("cmdSave"));
    SetTag(cmdSave, QStringLiteral("lng:{cap=19008}"));
    cmdClear = new QPushButton(QStringLiteral("Clear"), this);
    cmdClear->setObjectName(QStringLiteral("cmdClear"));
    SetTag(cmdClear, QStringLiteral("lng:{cap=19009}"));
    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    SetTag(cmdClose, QStringLiteral("lng:{cap=19010}"));
    chkShowLoginIds = new QCheckBox(QStringLiteral("Save Login IDs in clear"), this);
    chkShowLoginIds->setObjectName(QStringLiteral("chkShowLoginIds"));
    SetTag(chkShowLoginIds, QStringLiteral("lng:{cap=19033}"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(labSummary, 1);
    buttons->addWidget(chkShowLoginIds);
    buttons->addWidget(cmdClear);
    buttons->addWidget(cmdSave);
    buttons->addWidget(cmdClose);
    auto* v = new QVBoxLayout(this);
    v->addWidget(lstTraffic, 1);
    v->addLayout(buttons);
    connect(cmdSave, &QPushButton::clicked, this, &frmTraffic::SaveClicked);
    connect(cmdClear, &QPushButton::clicked, this, &frmTraffic::Clear);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    resize(760, 420);
    ApplyFormLanguage(this);
    FitColumns();
    UpdateSummary();
    RegisterLanguageWindow(this);
}

void frmTraffic::FitColumns() {
    // Every column but the last holds its header whole, in the language shown; the time, the
    // direction and the status columns also their longest text, the checksum its two digits.
    const QFontMetrics fm(lstTraffic->font());
    const int margin =
        2 * lstTraffic->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, lstTraffic) +
        fm.horizontalAdvance(QLatin1Char('M'));
    auto widest = [&fm](const QStringList& englishTexts) {
        int w = 0;
        for (const QString& t : englishTexts)
            w = std::max(w, fm.horizontalAdvance(TrafficShownText(t)));
        return w;
    };
    QStringList statuses;
    for (const Shown& t : kShownTexts)
        statuses << QString::fromLatin1(t.english);
    statuses << QStringLiteral("no STX, no CR");
    const int em = fm.horizontalAdvance(QLatin1Char('M'));
    const int content[] = {
        fm.horizontalAdvance(QStringLiteral("8888-88-88 88:88:88.888")),
        widest({QStringLiteral("note"), QStringLiteral("send"), QStringLiteral("recv")}),
        widest(statuses), 16 * em - margin, fm.horizontalAdvance(QStringLiteral("WW"))};
    QHeaderView* header = lstTraffic->header();
    for (int c = 0; c < 5; ++c)
        lstTraffic->setColumnWidth(c, std::max(content[c] + margin, header->sectionSizeHint(c)));
}

void frmTraffic::changeEvent(QEvent* e) {
    QWidget::changeEvent(e);
    if (e->type() == QEvent::LanguageChange || e->type() == QEvent::FontChange) FitColumns();
}

void frmTraffic::showEvent(QShowEvent* e) {
    // A language applied since (a switch in the language dialog) may have longer words.
    FitColumns();
    UpdateSummary();
    QWidget::showEvent(e);
}

void frmTraffic::Attach(CDorlinCtrl* ctrl) {
    if (!ctrl) return;
    connect(ctrl, &CDorlinCtrl::RnetMonitor, this, &frmTraffic::AddEvent, Qt::UniqueConnection);
}

void frmTraffic::AddEvent(short index, const QString& message) {
    TrafficEntry e = DecodeMonitorEvent(index, message, QDateTime::currentDateTime());
    // The control's checksum note refers to the reply just before it.
    if (index == 0 && e.status == QLatin1String("checksum error") && !entries_.empty() &&
        entries_.back().index == 2) {
        entries_.back().fault = true;
        entries_.back().status = QStringLiteral("checksum error");
        if (QTreeWidgetItem* last = lstTraffic->topLevelItem(lstTraffic->topLevelItemCount() - 1)) {
            last->setText(2, TrafficShownText(entries_.back().status));
            for (int c = 0; c < last->columnCount(); ++c)
                last->setForeground(c, QColor(0xB0, 0x00, 0x00));
        }
    }
    auto* item = new QTreeWidgetItem({e.when.toString(QStringLiteral("HH:mm:ss.zzz")),
                                      TrafficShownText(e.direction), TrafficShownText(e.status),
                                      Readable(e.text), e.checksum, e.raw});
    if (e.fault)
        for (int c = 0; c < item->columnCount(); ++c)
            item->setForeground(c, QColor(0xB0, 0x00, 0x00));
    entries_.push_back(std::move(e));
    lstTraffic->addTopLevelItem(item);
    lstTraffic->scrollToItem(item);
    UpdateSummary();
}

int frmTraffic::FaultCount() const {
    int n = 0;
    for (const TrafficEntry& e : entries_)
        n += e.fault ? 1 : 0;
    return n;
}

void frmTraffic::UpdateSummary() {
    labSummary->setText(lvlang::LangFormat(19011, QStringLiteral("%d events, %d faults"),
                                           static_cast<int>(entries_.size()), FaultCount()));
}

void frmTraffic::Clear() {
    entries_.clear();
    lstTraffic->clear();
    UpdateSummary();
}

bool frmTraffic::SaveToFile(const QString& path, QString* error, bool showLoginIds) const {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error) *error = f.errorString();
        return false;
    }
    QByteArray out = "time\tdir\tstatus\ttext\tsum\traw\r\n";
    for (const TrafficEntry& e : entries_)
        out += TrafficLine(showLoginIds ? e : MaskLoginId(e)).toUtf8() + "\r\n";
    if (f.write(out) != out.size() || !f.flush()) {
        if (error) *error = f.errorString();
        return false;
    }
    return true;
}

void frmTraffic::SaveClicked() {
    const QString path = QFileDialog::getSaveFileName(
        this, windowTitle(), QStringLiteral("traffic.txt"), QStringLiteral("Text (*.txt)"), nullptr,
        QFileDialog::DontUseNativeDialog);
    if (path.isEmpty()) return;
    QString why;
    if (!SaveToFile(path, &why, chkShowLoginIds->isChecked()))
        QMessageBox::critical(this, windowTitle(), path + QStringLiteral("\n") + why);
}

} // namespace pelmar::ui
