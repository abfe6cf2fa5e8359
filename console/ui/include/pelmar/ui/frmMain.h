// The console's main window: port choice and login, the reader operations as buttons, the
// record table with its field options and display modes, the message panel and progress bar.
// The window shows and asks; every reader exchange runs in the console core (ReaderConsole).
#pragma once
#include <QMainWindow>
#include <QPointer>
#include <array>
#include <functional>
#include <lvlang/clsLanguage.h>
#include <memory>
#include <pelmar/RecordTableModel.h>
#include <pelmar/SaveOptions.h>
#include <pelmar/core/DorlinLink.h>
#include <pelmar/core/ReaderConsole.h>
#include <pelmar/ui/frmTraffic.h>

class CDorlinCtrl;
class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;
class QVBoxLayout;

namespace dorlin {
class PortWatcher;
}

namespace pelmar::ui {

class HeaderProxyModel;
class IpAddressEditor;
class MainPrompt;
class PortPicker;

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // Button indexes of cmdMSR.
    enum {
        kUpload = 0,
        kSave,
        kDelete,
        kOpen,
        kDateTime,
        kGetTime,
        kVersion,
        kStop,
        kSettings,
        kUserName,
        kChangeId,
        kButtons
    };

    // Which controls may be used in a window state (UiState, IUserPrompt.h); the port list
    // follows the link: open, it is usable between operations, the baud rate and the address not.
    void Enabled1(UiState state);
    bool blnEnd = false;
    int iExitSub_1 = 0;
    bool blnStop2 = false;
    long iFilterIndex = 1;

    // Operations, as the controls call them (tests may call them directly too).
    void cboPort_Click();
    void cmdMSR_Click(int index);
    void cmdDatabase_Click();
    void cmdRecovery_Click();
    void cboMagneticCompatible_Click();
    // The display-mode entry a stored "General/MagneticCompatible" text names.
    static int StoredDisplayMode(const QString& saved);
    void chkFields_Click();
    void mnuSaveOptions_Click();
    void mnuLanguage_Click();
    void mnuTraffic_Click();
    // Archive menu: the downloaded records into the archive (setting Archive/Url, else the
    // default file), and the archive browser.
    void mnuArchiveSave_Click();
    void mnuArchiveBrowse_Click();
    // Download, archive, check, and only then erase (also the Erase button's action when the
    // setting Archive/Url is set).
    void mnuArchiveSafeErase_Click();

    // Port arrival and removal ("COMn" names), as the port watcher reports them.
    void PortArrived(const QString& comName);
    void PortRemoved(const QString& comName);

    // Reader discovery (the "AUTO" entry): what to look for, and where besides the serial
    // ports. The scan returns true and the found port text ("COMn" or "IP:...") when a reader
    // answered. Unset: the entry finds nothing.
    struct AutoScanRequest {
        QString szFirmwares;  // accepted firmware texts, NUL-separated
        QString szDeviceName; // shown while scanning
        QString szCommand;    // identification command
        QString szBaudRates;  // baud rates to try
        QString szAddress;    // device server address, "" for none
    };
    using AutoScan = std::function<bool(QString& szPort, const AutoScanRequest& request)>;
    void SetAutoScan(AutoScan scan) { autoScan_ = std::move(scan); }
    // How a saved or chosen file is shown (default: the desktop's application for it); false
    // when nothing could open it, and the window then says where the file is.
    using ShowFile = std::function<bool(const QString& path)>;
    void SetShowFile(ShowFile show) { showFile_ = std::move(show); }

    // The plain window title in the current language ("Lorvane").
    QString Title() const;
    ReaderConsole& Console() { return *console_; }
    RecordTableModel& Records() { return model_; }
    clsSaveOptions& SaveOptions() { return saveOptions_; }
    CDorlinCtrl* Link() const { return Dorlin; }
    frmTraffic* TrafficWindow() const { return traffic_; }
    // The address in the FrameIP caption ("0.0.0.0" at first).
    QString IpAddress() const;

    // --- controls (names as the code uses them) -------------------------------------------
    CDorlinCtrl* Dorlin = nullptr;
    dorlin::PortWatcher* SysInfo = nullptr;
    QGroupBox* Frame1 = nullptr;
    QComboBox* cboPort = nullptr;
    QComboBox* cboBaud = nullptr;
    QGroupBox* FrameIP = nullptr;
    std::array<QLineEdit*, 4> txtIP{};
    QLabel* Label5 = nullptr;
    std::array<QPushButton*, kButtons> cmdMSR{};
    QPushButton* cmdDatabase = nullptr;
    QPushButton* cmdErase = nullptr;
    QPushButton* cmdRecovery = nullptr;
    std::array<QCheckBox*, 3> chkFields{};
    QComboBox* cboMagneticCompatible = nullptr;
    std::array<QLabel*, 2> labCaption{};
    QTableView* fgData = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QProgressBar* prgBar = nullptr;
    QFrame* picMsgBox = nullptr;
    QLabel* labMsgBox = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuVersion = nullptr;
    QMenu* mnuOptions = nullptr;
    QAction* mnuSaveOptions = nullptr;
    QAction* mnuLanguage = nullptr;
    QAction* mnuTraffic = nullptr;
    QMenu* mnuArchive = nullptr;
    QAction* mnuArchiveSave = nullptr;
    QAction* mnuArchiveBrowse = nullptr;
    QAction* mnuArchiveSafeErase = nullptr;
    QAction* mnuExit = nullptr;

    // Shows or hides the message panel (an empty text hides it).
    void SetMessagePanel(const QString& text);

protected:
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    friend class MainPrompt;
    void BuildControls();
    void BuildMenus();
    void BuildPortChoice(QWidget* panel, QVBoxLayout* left);
    QGridLayout* BuildButtons(QWidget* panel);
    QGroupBox* BuildFieldOptions(QWidget* panel);
    QHBoxLayout* BuildCounter(QWidget* panel);
    void BuildTable(QWidget* central);
    void BuildMessagePanel(QWidget* central);
    void FormLoad();
    void FillPortList();
    void SetVersionCaption();
    void OpenReader(const QString& szPort);
    void RunUpload();
    void RunSave();
    // The save dialog: the file name with the chosen type's extension ("" when cancelled);
    // remembers the chosen type in iFilterIndex.
    QString AskSaveFileName();
    void RunOpen();
    void RunDateTime();
    void RunSettings();
    void RunChangeId();
    void RunSafeErase();
    void ClearRecords();
    void ApplyColumnWidths();
    void PlaceMessagePanel();
    void UpdateCounter();
    void EndOperation(); // lowers iExitSub_1 and closes when a close was asked for meanwhile
    void SaveSettings();
    void ShowSavedFile(const QString& path, bool inEditor);

    std::unique_ptr<MainPrompt> prompt_;
    std::unique_ptr<DorlinLink> link_;
    std::unique_ptr<ReaderConsole> console_;
    RecordTableModel model_;
    HeaderProxyModel* proxy_ = nullptr;
    PortPicker* ports_ = nullptr;
    IpAddressEditor* address_ = nullptr;
    clsSaveOptions saveOptions_;
    lvlang::clsLanguageString title_, versionText_;
    AutoScan autoScan_;
    ShowFile showFile_;
    QPointer<frmTraffic> traffic_;
    bool inPortClick_ = false;
    QString caption_; // the caption as the operations set it
    QString port_;    // the port text of the last connection
};

// Opens the console: the main window, until it closes. Returns the exit code.
int RunConsole(int argc, char** argv);
// Renders a window offscreen into a PNG ("main", "traffic", "autoscan", "archive", or a dialog
// name the dialogs library offers), drawn from the program's own state: no sample data.
// Returns 0 on success, else prints why and returns 1 (2: unknown name).
int RenderScreenshot(const QString& file, const QString& window);
// The window names RenderScreenshot knows, and the usage lines of --screenshot naming them.
QStringList ScreenshotWindowNames();
QString ScreenshotUsage();

} // namespace pelmar::ui
