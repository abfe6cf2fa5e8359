#include "pelmar/ui/frmMain.h"

#include "MainPrompt.h"
#include "pelmar/ui/IpAddressEditor.h"
#include "pelmar/ui/PortPicker.h"
#include "pelmar/ui/QtPropertyHost.h"
#include "pelmar/ui/frmTraffic.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <dorlin/CDorlinCtrl.h>
#include <dorlin/PortWatcher.h>
#include <lvlang/DataDir.h>
#include <lvlang/Settings.h>
#include <lvlang/modLanguage.h>
#include <pelexport/RecordWriter.h>
#include <pelmar/discovery/frmAutoScan.h>

namespace pelmar::ui {

// The record table's header row as the language layer sets it (TextMatrix(0,c)): the texts
// written into it win over the model's own headers.
class HeaderProxyModel : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant headerData(int section, Qt::Orientation o, int role = Qt::DisplayRole) const override {
        if (o == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::EditRole)) {
            auto it = overrides_.find(section);
            if (it != overrides_.end()) return *it;
        }
        return QIdentityProxyModel::headerData(section, o, role);
    }
    bool setHeaderData(int section, Qt::Orientation o, const QVariant& value,
                       int role = Qt::EditRole) override {
        if (o != Qt::Horizontal || section < 0 || section >= columnCount() ||
            (role != Qt::DisplayRole && role != Qt::EditRole))
            return false;
        overrides_[section] = value.toString();
        emit headerDataChanged(o, section, section);
        return true;
    }

private:
    QMap<int, QString> overrides_;
};

namespace {

QString L(int id, const char* fallback) {
    return lvlang::LangString(id, QString::fromUtf8(fallback));
}

const char* const kIpKeys[] = {"IP1", "IP2", "IP3", "IP4"};

struct ButtonDef {
    const char* caption;
    int cap, tip;
};
const ButtonDef kButtonDefs[frmMain::kButtons] = {
    {"Upload", 13000, 13001},
    {"Save", 13002, 13003},
    {"Delete", 13018, 13019},
    {"Open", 13014, 13015},
    {"Date/Time", 13006, 13007},
    {"GetTime", 13024, 13025},
    {"Version", 13008, 13009},
    {"Stop", 13016, 13017},
    {"Settings", 13010, 13011},
    {"User Name", 13026, 13027},
    {"Change \r\nLogin ID", 13012, 13013},
};

// The menus in menu-bar order: a menu, then its entries.
struct MenuItem {
    QMenu* frmMain::*menu = nullptr;     // a menu of the menu bar, or
    QAction* frmMain::*action = nullptr; // an entry of the menu above it
    const char* text;
    const char* name;
    int cap; // text id
    bool separatorBefore = false;
    void (frmMain::*click)() = nullptr;
};
const MenuItem kMenuItems[] = {
    {&frmMain::mnuHelp, nullptr, "&Help", "mnuHelp", 10001},
    {nullptr, &frmMain::mnuVersion, "Version", "mnuVersion", 10002},
    {&frmMain::mnuOptions, nullptr, "Options", "mnuOptions", 10003},
    {nullptr, &frmMain::mnuSaveOptions, "Save Options", "mnuSaveOptions", 10004, false,
     &frmMain::mnuSaveOptions_Click},
    {nullptr, &frmMain::mnuLanguage, "Language", "mnuLanguage", 10005, false,
     &frmMain::mnuLanguage_Click},
    {nullptr, &frmMain::mnuTraffic, "Traffic Monitor", "mnuTraffic", 19000, true,
     &frmMain::mnuTraffic_Click},
    {&frmMain::mnuArchive, nullptr, "&Archive", "mnuArchive", 19300},
    {nullptr, &frmMain::mnuArchiveSave, "Save to archive", "mnuArchiveSave", 19301, false,
     &frmMain::mnuArchiveSave_Click},
    {nullptr, &frmMain::mnuArchiveBrowse, "Browse archive…", "mnuArchiveBrowse", 19302, false,
     &frmMain::mnuArchiveBrowse_Click},
    {nullptr, &frmMain::mnuArchiveSafeErase, "Safe erase", "mnuArchiveSafeErase", 19303, true,
     &frmMain::mnuArchiveSafeErase_Click},
};

// The erase and recovery buttons beside cmdMSR.
struct ExtraButton {
    QPushButton* frmMain::*button;
    const char* caption;
    const char* name;
    int cap, tip;
    void (frmMain::*click)();
};
const ExtraButton kExtraButtons[] = {
    {&frmMain::cmdDatabase, "Erase", "cmdDatabase", 13004, 13005, &frmMain::cmdDatabase_Click},
    {&frmMain::cmdErase, "Erase", "cmdErase", 13020, 13021, &frmMain::cmdDatabase_Click},
    {&frmMain::cmdRecovery, "Recovery", "cmdRecovery", 13022, 13023, &frmMain::cmdRecovery_Click},
};

QString LangTag(int cap, int tip) {
    return QStringLiteral("lng:{cap=%1, tip=%2}").arg(cap).arg(tip);
}

bool TruthText(const QString& v) {
    const QString u = v.trimmed().toUpper();
    return u == QLatin1String("TRUE") || u == QLatin1String("T") || u == QLatin1String("Y") ||
           u == QLatin1String("YES");
}

} // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Lorvane"));
    SetTag(this, QStringLiteral("lng:{cap=10000}"));
    prompt_ = std::make_unique<MainPrompt>(this);
    BuildControls();
    link_ = std::make_unique<DorlinLink>(Dorlin);
    console_ = std::make_unique<ReaderConsole>(link_.get(), *prompt_);
    console_->onClearRecords = [this] { ClearRecords(); };
    autoScan_ = [this](QString& szPort, const AutoScanRequest& r) {
        return discovery::ShowAutoScan(this, szPort, r.szFirmwares, r.szDeviceName, r.szCommand,
                                       r.szBaudRates, r.szAddress);
    };
    FormLoad();
}

frmMain::~frmMain() {
    if (traffic_) delete traffic_.data();
    console_.reset();
    link_.reset();
}

void frmMain::BuildControls() {
    BuildMenus();
    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("central"));
    setCentralWidget(central);

    // The link control is invisible: it only owns the channel.
    Dorlin = new CDorlinCtrl(central, false);
    Dorlin->setObjectName(QStringLiteral("Dorlin"));
    Dorlin->hide();

    auto* panel = new QWidget(central);
    panel->setObjectName(QStringLiteral("picPanel"));
    auto* left = new QVBoxLayout(panel);
    left->setContentsMargins(0, 0, 0, 0);
    BuildPortChoice(panel, left);
    left->addLayout(BuildButtons(panel));
    left->addWidget(BuildFieldOptions(panel));
    left->addLayout(BuildCounter(panel));
    left->addStretch(1);
    // The panel keeps its width; the table takes the rest of the window.
    panel->setFixedWidth(fontMetrics().horizontalAdvance(QLatin1Char('W')) * 22);

    BuildTable(central);
    prgBar = new QProgressBar(central);
    prgBar->setObjectName(QStringLiteral("prgBar"));
    prgBar->setRange(0, 1);
    prgBar->setValue(0);
    prgBar->setTextVisible(false);
    prgBar->setMaximumHeight(fontMetrics().height());
    BuildMessagePanel(central);

    auto* right = new QVBoxLayout;
    right->addWidget(fgData, 1);
    right->addWidget(prgBar);
    auto* main = new QHBoxLayout(central);
    main->addWidget(panel);
    main->addLayout(right, 1);
    resize(1000, 640);
}

void frmMain::BuildMenus() {
    QMenu* menu = nullptr;
    for (const MenuItem& m : kMenuItems) {
        if (m.menu) {
            menu = this->*m.menu = menuBar()->addMenu(QString::fromUtf8(m.text));
            menu->setObjectName(QString::fromLatin1(m.name));
            SetTag(menu, QStringLiteral("lng:{cap=%1}").arg(m.cap));
            continue;
        }
        if (m.separatorBefore) menu->addSeparator();
        QAction* a = this->*m.action = menu->addAction(QString::fromUtf8(m.text));
        a->setObjectName(QString::fromLatin1(m.name));
        SetTag(a, QStringLiteral("lng:{cap=%1}").arg(m.cap));
        if (m.click) connect(a, &QAction::triggered, this, m.click);
    }
    mnuExit = menuBar()->addAction(QStringLiteral("&Exit"));
    mnuExit->setObjectName(QStringLiteral("mnuExit"));
    SetTag(mnuExit, QStringLiteral("lng:{cap=10006}"));
    connect(mnuExit, &QAction::triggered, this, &QWidget::close);
}

void frmMain::BuildPortChoice(QWidget* panel, QVBoxLayout* left) {
    ports_ = new PortPicker(panel);
    Frame1 = ports_;
    cboPort = ports_->cboPort;
    cboBaud = ports_->cboBaud;
    SysInfo = ports_->SysInfo;
    SetTag(cboBaud, QStringLiteral("lng:{tip=19400}"));
    left->addWidget(ports_);
    connect(ports_, &PortPicker::PortArrived, this, &frmMain::PortArrived);
    connect(ports_, &PortPicker::PortRemoved, this, &frmMain::PortRemoved);
    connect(cboPort, &QComboBox::activated, this, &frmMain::cboPort_Click);

    address_ = new IpAddressEditor(panel);
    FrameIP = address_;
    Label5 = address_->Label5;
    txtIP = address_->txtIP;
    connect(address_, &IpAddressEditor::OutOfRange, this, [this] {
        prompt_->ShowMessage(MsgKind::Plain, QStringLiteral("IP: 0 ~ 255"), QString());
    });
    left->addWidget(address_);
}

QGridLayout* frmMain::BuildButtons(QWidget* panel) {
    for (int i = 0; i < kButtons; ++i) {
        QString cap = QString::fromUtf8(kButtonDefs[i].caption);
        cap.remove(QLatin1Char('\r'));
        cmdMSR[i] = new QPushButton(cap, panel);
        cmdMSR[i]->setObjectName(QStringLiteral("cmdMSR_%1").arg(i));
        SetTag(cmdMSR[i], LangTag(kButtonDefs[i].cap, kButtonDefs[i].tip));
        connect(cmdMSR[i], &QPushButton::clicked, this, [this, i] { cmdMSR_Click(i); });
    }
    for (const ExtraButton& b : kExtraButtons) {
        QPushButton* p = this->*b.button = new QPushButton(QString::fromLatin1(b.caption), panel);
        p->setObjectName(QString::fromLatin1(b.name));
        SetTag(p, LangTag(b.cap, b.tip));
        connect(p, &QPushButton::clicked, this, b.click);
    }
    cmdErase->hide();
    cmdRecovery->hide();
    cmdMSR[kGetTime]->hide();
    cmdMSR[kUserName]->hide();
    cmdMSR[kStop]->hide();
    cmdMSR[kChangeId]->setMinimumHeight(cmdMSR[kChangeId]->sizeHint().height());
    auto* buttons = new QGridLayout;
    // Upload and Stop share one place: one of them is shown at a time.
    buttons->addWidget(cmdMSR[kUpload], 0, 0);
    buttons->addWidget(cmdMSR[kStop], 0, 0);
    buttons->addWidget(cmdMSR[kSave], 0, 1);
    buttons->addWidget(cmdMSR[kDelete], 1, 0);
    buttons->addWidget(cmdDatabase, 1, 1);
    buttons->addWidget(cmdMSR[kOpen], 2, 0);
    buttons->addWidget(cmdMSR[kVersion], 2, 1);
    buttons->addWidget(cmdMSR[kDateTime], 3, 0);
    buttons->addWidget(cmdMSR[kSettings], 3, 1);
    buttons->addWidget(cmdMSR[kChangeId], 4, 0, 1, 2);
    return buttons;
}

QGroupBox* frmMain::BuildFieldOptions(QWidget* panel) {
    auto* fields = new QGroupBox(panel);
    fields->setObjectName(QStringLiteral("fraFields"));
    auto* fv = new QVBoxLayout(fields);
    labCaption[1] = new QLabel(QStringLiteral("Field Options:"), fields);
    labCaption[1]->setObjectName(QStringLiteral("labCaption_1"));
    SetTag(labCaption[1], QStringLiteral("lng:{cap=12201}"));
    fv->addWidget(labCaption[1]);
    const char* fieldCaps[] = {"Card Type", "Event", "Week"};
    for (int i = 0; i < 3; ++i) {
        chkFields[i] = new QCheckBox(QString::fromLatin1(fieldCaps[i]), fields);
        chkFields[i]->setObjectName(QStringLiteral("chkFields_%1").arg(i));
        SetTag(chkFields[i], QStringLiteral("lng:{cap=%1}").arg(12202 + i));
        chkFields[i]->setChecked(true);
        fv->addWidget(chkFields[i]);
        connect(chkFields[i], &QCheckBox::clicked, this, &frmMain::chkFields_Click);
    }
    labCaption[0] = new QLabel(QStringLiteral("Magnetic Compatible"), fields);
    labCaption[0]->setObjectName(QStringLiteral("labCaption_0"));
    SetTag(labCaption[0], QStringLiteral("lng:{cap=12101}"));
    fv->addWidget(labCaption[0]);
    cboMagneticCompatible = new QComboBox(fields);
    cboMagneticCompatible->setObjectName(QStringLiteral("cboMagneticCompatible"));
    QStringList lst;
    for (int i = 0; i < kDisplayModeCount; ++i) {
        cboMagneticCompatible->addItem(DisplayModeTexts()[i], DisplayModeTrack(i));
        lst << QStringLiteral("lst(%1)=%2").arg(i).arg(12102 + i);
    }
    SetTag(cboMagneticCompatible, QStringLiteral("lng:{%1}").arg(lst.join(QStringLiteral(", "))));
    connect(cboMagneticCompatible, &QComboBox::activated, this,
            &frmMain::cboMagneticCompatible_Click);
    fv->addWidget(cboMagneticCompatible);
    return fields;
}

QHBoxLayout* frmMain::BuildCounter(QWidget* panel) {
    auto* counter = new QHBoxLayout;
    Label1 = new QLabel(QStringLiteral("Records :"), panel);
    Label1->setObjectName(QStringLiteral("Label1"));
    SetTag(Label1, QStringLiteral("lng:{cap=12200}"));
    Label2 = new QLabel(QStringLiteral("0 / 0"), panel);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    counter->addWidget(Label1);
    counter->addWidget(Label2, 1);
    return counter;
}

void frmMain::BuildTable(QWidget* central) {
    fgData = new QTableView(central);
    fgData->setObjectName(QStringLiteral("fgData"));
    proxy_ = new HeaderProxyModel(this);
    proxy_->setSourceModel(&model_);
    fgData->setModel(proxy_);
    fgData->verticalHeader()->hide();
    fgData->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    fgData->verticalHeader()->setDefaultSectionSize(fgData->fontMetrics().height() + 6);
    fgData->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    fgData->horizontalHeader()->setStretchLastSection(true);
    fgData->setSelectionBehavior(QAbstractItemView::SelectRows);
    fgData->setSelectionMode(QAbstractItemView::SingleSelection);
    fgData->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fgData->setAlternatingRowColors(true);
    fgData->setWordWrap(false);
    connect(fgData->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { UpdateCounter(); });
}

void frmMain::BuildMessagePanel(QWidget* central) {
    picMsgBox = new QFrame(central);
    picMsgBox->setObjectName(QStringLiteral("picMsgBox"));
    picMsgBox->setFrameShape(QFrame::Box);
    picMsgBox->setAutoFillBackground(true);
    labMsgBox = new QLabel(picMsgBox);
    labMsgBox->setObjectName(QStringLiteral("labMsgBox"));
    labMsgBox->setAlignment(Qt::AlignCenter);
    SetTag(labMsgBox, QStringLiteral("fnt:{name=1000, size=1001}"));
    QFont big = labMsgBox->font();
    big.setPointSizeF(big.pointSizeF() > 0 ? big.pointSizeF() * 1.5 : 14);
    big.setBold(true);
    labMsgBox->setFont(big);
    picMsgBox->hide();
}

void frmMain::FormLoad() {
    lvlang::clsLanguage& lang = lvlang::LanguageObject();
    title_.TagLinkString(&lang, Tag(this), QStringLiteral("cap"), QStringLiteral("Lorvane"));
    versionText_.TagLinkString(&lang, Tag(mnuVersion), QStringLiteral("cap"),
                               QStringLiteral("Version"));
    RegisterLanguageWindow(this);
    ApplyFormLanguage(this);

    LoadSaveOptions(saveOptions_);
    blnEnd = false;
    iExitSub_1 = 1;
    Enabled1(UiState::NoConnection);
    Dorlin->SetRnetTimeout(5000);
    SetVersionCaption();
    FillPortList();

    iFilterIndex = qMax(1L, lvlang::GetSetting(QStringLiteral("File"),
                                               QStringLiteral("FilterIndex"), QStringLiteral("1"))
                                .toLong());
    std::array<int, 4> address{};
    for (int i = 0; i < 4; ++i)
        address[i] = lvlang::GetSetting(QStringLiteral("Security"), QString::fromLatin1(kIpKeys[i]),
                                        QStringLiteral("0"))
                         .toInt();
    address_->SetFields(address);
    Label2->setText(QStringLiteral("0 / 0"));

    iExitSub_1 = 0;
    cmdMSR[kSettings]->setEnabled(false);
    cmdMSR[kUserName]->setEnabled(false);
    model_.ClearRecords();
    Dorlin->SetRnetTimeout(1000);
    SetMessagePanel(QString());

    const QString saved = lvlang::GetSetting(
        QStringLiteral("General"), QStringLiteral("MagneticCompatible"), QStringLiteral("None"));
    lvlang::SaveSetting(QStringLiteral("General"), QStringLiteral("MagneticCompatible"),
                        DisplayModeStoredText(cboMagneticCompatible->currentIndex()));
    cboMagneticCompatible->setCurrentIndex(StoredDisplayMode(saved));
    for (int i = 0; i < 3; ++i) {
        const QString v =
            lvlang::GetSetting(QStringLiteral("General"), QStringLiteral("FieldOption(%1)").arg(i),
                               QStringLiteral("TRUE"));
        chkFields[i]->setChecked(TruthText(v));
        model_.SetFieldOption(i, chkFields[i]->isChecked());
    }
    cboMagneticCompatible_Click();

    saveOptions_.SetIsFormatFileExist(QFileInfo::exists(FormatFilePath()));
    model_.SetSaveOptions(saveOptions_);
    caption_ = windowTitle();
    if (lvlang::GetSetting(QStringLiteral("General"), QStringLiteral("TrafficMonitor")) ==
        QLatin1String("True"))
        QTimer::singleShot(0, this, &frmMain::mnuTraffic_Click);
}

QString frmMain::Title() const {
    return title_.Text();
}

QString frmMain::IpAddress() const {
    return address_->Address();
}

void frmMain::SetVersionCaption() {
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty()) version = QStringLiteral(LORVANE_VERSION);
    const QStringList v = version.split(QLatin1Char('.'));
    const QString major = v.value(0, QStringLiteral("1")), minor = v.value(1, QStringLiteral("0"));
    const QString rev = v.value(3, v.value(2, QStringLiteral("0")));
    mnuVersion->setText(versionText_.Text() + QStringLiteral(" ") + major + QStringLiteral(".") +
                        minor + QStringLiteral("R") + rev);
}

void frmMain::FillPortList() {
    QStringList names;
    for (short i = 0; i <= 255; ++i) {
        const QString name = Dorlin->EnumCommPort(i);
        if (name.isEmpty()) break;
        names << name;
    }
    ports_->Fill(names, dorlin::SerialPorts());
}

void frmMain::PortArrived(const QString& comName) {
    ports_->Add(comName, dorlin::SerialPorts());
}

void frmMain::PortRemoved(const QString& comName) {
    if (cboPort->findText(comName, Qt::MatchFixedString) < 0) return;
    // A pulled adapter that carried the open link closes it.
    if (Dorlin->PortOpen() && Dorlin->CommPort() == comName.mid(3).toInt() &&
        Dorlin->ExtPort().isEmpty()) {
        Dorlin->SetPortOpen(false);
        Enabled1(UiState::NoConnection);
    }
    inPortClick_ = true; // the list's own change is no choice of the user
    ports_->Remove(comName);
    inPortClick_ = false;
}

void frmMain::Enabled1(UiState state) {
    ++iExitSub_1;
    // The operations may be used between operations, once logged in.
    const bool on =
        state == UiState::RecordsDone || state == UiState::DialogDone || state == UiState::LoggedIn;
    for (int i = 0; i < kButtons; ++i)
        if (i != kStop) cmdMSR[i]->setEnabled(on);
    cmdErase->setEnabled(on);
    cmdDatabase->setEnabled(on);
    cmdRecovery->setEnabled(on);
    if (state == UiState::RecordsDone) {
        cmdMSR[kUpload]->show();
        cmdMSR[kStop]->hide();
    } else if (state == UiState::RecordsBusy || state == UiState::SaveBusy) {
        // Upload and Stop share their place on the panel.
        cmdMSR[kStop]->show();
        cmdMSR[kUpload]->hide();
    }
    if (Dorlin->PortOpen()) {
        cboPort->setEnabled(on);
        cboBaud->setEnabled(false);
        FrameIP->setEnabled(false);
    } else {
        cboPort->setEnabled(true);
        cboBaud->setEnabled(true);
        FrameIP->setEnabled(true);
    }
    EndOperation();
}

void frmMain::EndOperation() {
    --iExitSub_1;
    if (blnEnd && iExitSub_1 == 0) QMetaObject::invokeMethod(this, &QWidget::close);
}

void frmMain::ClearRecords() {
    model_.ClearRecords();
    UpdateCounter();
}

void frmMain::UpdateCounter() {
    const int rows = model_.rowCount();
    const QModelIndex cur = fgData->currentIndex();
    Label2->setText(QStringLiteral("%1 / %2").arg(cur.isValid() ? cur.row() + 1 : 0).arg(rows));
}

int frmMain::StoredDisplayMode(const QString& saved) {
    // The store holds the English text; an older one the text of the language shown then,
    // recognised through every installed language file.
    return DisplayModeFromStored(saved, [](int entry) {
        return lvlang::LangStringInAllLanguages(QString::number(12102 + entry));
    });
}

void frmMain::cboMagneticCompatible_Click() {
    const int entry = cboMagneticCompatible->currentIndex();
    for (QCheckBox* c : chkFields)
        c->setEnabled(entry <= 0);
    model_.SetSaveOptions(saveOptions_);
    // The grid's header row: the card ID column's text follows the mode.
    model_.SetDisplayMode(qMax(0, entry));
    const int id = model_.CardIdHeaderId();
    const char* english = id == kIdTrack1   ? "Track1"
                          : id == kIdTrack2 ? "Track2"
                          : id == kIdTrack3 ? "Track3"
                          : id == kIdJis2   ? "JIS2"
                                            : "Card ID";
    const char* heads[] = {"No", "Card ID", "Card Type", "Event", "Date", "Date"};
    for (int c = 0; c < RecordTableModel::kColumns; ++c)
        proxy_->setHeaderData(c, Qt::Horizontal, QString::fromLatin1(c == 1 ? english : heads[c]));
    SetTag(fgData, model_.TableTag());
    ApplyObjectLanguage(fgData);
    ApplyColumnWidths();
    UpdateCounter();
    if (model_.ConvertError())
        prompt_->ShowMessage(MsgKind::Critical, model_.ConvertErrorMessage(), Title());
}

void frmMain::chkFields_Click() {
    for (int i = 0; i < 3; ++i)
        model_.SetFieldOption(i, chkFields[i]->isChecked());
    ApplyColumnWidths();
}

void frmMain::ApplyColumnWidths() {
    const auto widths = model_.ColumnWidths(fgData->fontMetrics(), QDateTime::currentDateTime());
    const int pad = fgData->fontMetrics().horizontalAdvance(QLatin1Char('W'));
    for (int c = 0; c < RecordTableModel::kColumns; ++c) {
        if (widths[c] <= 0) {
            fgData->setColumnHidden(c, true);
        } else {
            fgData->setColumnHidden(c, false);
            fgData->setColumnWidth(c, widths[c] + pad);
        }
    }
}

void frmMain::mnuSaveOptions_Click() {
    if (cboMagneticCompatible->currentIndex() != 0) {
        prompt_->ShowMessage(MsgKind::Information,
                             L(13523, "The \"Save Options\" is available when the \"Magnetic "
                                      "Compatible\" mode is \"NONE\"!"),
                             windowTitle());
        return;
    }
    if (prompt_->ShowSaveOptions(saveOptions_)) {
        model_.SetSaveOptions(saveOptions_);
        cboMagneticCompatible_Click();
    }
}

void frmMain::mnuLanguage_Click() {
    prompt_->ShowLanguage();
    title_.TagLinkString(&lvlang::LanguageObject(), Tag(this), QStringLiteral("cap"),
                         QStringLiteral("Lorvane"));
    SetVersionCaption();
    model_.SetTextSource([](int id, const QString& fb) { return lvlang::LangString(id, fb); });
}

void frmMain::mnuTraffic_Click() {
    if (!traffic_) {
        traffic_ = new frmTraffic(nullptr);
        traffic_->Attach(Dorlin);
        ApplyFormLanguage(traffic_);
    }
    traffic_->show();
    traffic_->raise();
}

void frmMain::SetMessagePanel(const QString& text) {
    labMsgBox->setText(text);
    labMsgBox->setVisible(true);
    if (text.isEmpty()) {
        picMsgBox->hide();
        return;
    }
    PlaceMessagePanel();
    picMsgBox->show();
    picMsgBox->raise();
}

void frmMain::PlaceMessagePanel() {
    const QSize text = labMsgBox->sizeHint();
    const int margin = labMsgBox->fontMetrics().height();
    const QSize box(text.width() + 2 * margin, text.height() + 2 * margin);
    const QRect table = fgData->geometry();
    picMsgBox->setGeometry(QRect(table.center() - QPoint(box.width() / 2, box.height() / 2), box));
    labMsgBox->setGeometry(picMsgBox->rect());
}

void frmMain::resizeEvent(QResizeEvent* e) {
    QMainWindow::resizeEvent(e);
    if (!picMsgBox->isHidden()) PlaceMessagePanel();
}

void frmMain::SaveSettings() {
    lvlang::SaveSetting(QStringLiteral("File"), QStringLiteral("FilterIndex"),
                        QString::number(iFilterIndex));
    lvlang::SaveSetting(QStringLiteral("Security"), QStringLiteral("CommPort"),
                        QString::number(cboPort->currentIndex()));
    for (int i = 0; i < 4; ++i)
        lvlang::SaveSetting(QStringLiteral("Security"), QString::fromLatin1(kIpKeys[i]),
                            QString::number(txtIP[i]->text().toInt()));
    for (int i = 0; i < 3; ++i)
        lvlang::SaveSetting(QStringLiteral("General"), QStringLiteral("FieldOption(%1)").arg(i),
                            chkFields[i]->isChecked() ? QStringLiteral("True")
                                                      : QStringLiteral("False"));
    lvlang::SaveSetting(QStringLiteral("General"), QStringLiteral("MagneticCompatible"),
                        DisplayModeStoredText(cboMagneticCompatible->currentIndex()));
    lvlang::SaveSetting(QStringLiteral("General"), QStringLiteral("TrafficMonitor"),
                        traffic_ && traffic_->isVisible() ? QStringLiteral("True")
                                                          : QStringLiteral("False"));
    StoreSaveOptions(saveOptions_);
}

void frmMain::closeEvent(QCloseEvent* e) {
    if (iExitSub_1 > 0) {
        // An operation runs: it closes the window when it ends.
        blnEnd = true;
        e->ignore();
        return;
    }
    if (console_->Session().iCmdBusy != 0) {
        e->ignore();
        return;
    }
    SaveSettings();
    if (traffic_) traffic_->close();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != this && w->isVisible() && w->isWindow() && !qobject_cast<QMenu*>(w)) w->close();
    if (Dorlin->PortOpen()) {
        Dorlin->Logout();
        Dorlin->SetPortOpen(false);
    }
    e->accept();
}

} // namespace pelmar::ui
