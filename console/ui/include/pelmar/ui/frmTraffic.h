// The traffic monitor: every RnetMonitor event of the link control with a time stamp, each
// frame decoded (STX, text, checksum, CR), time-outs and checksum errors marked. The list can
// be saved as a text file for a bug report.
#pragma once
#include <QDateTime>
#include <QString>
#include <QWidget>
#include <vector>

class CDorlinCtrl;
class QPushButton;
class QTreeWidget;
class QLabel;
class QCheckBox;

namespace pelmar::ui {

// One monitor event, decoded.
struct TrafficEntry {
    QDateTime when;
    short index = 0;   // 0 the control's own note, 1 request sent, 2 reply received
    QString direction; // "note", "send", "recv"
    QString text;      // the frame's text without framing and checksum
    QString checksum;  // the two checksum digits, "" when the frame carries none
    QString status;    // "OK", "no checksum", "checksum error", "time-out", "no STX", ...
    QString raw;       // the bytes as received, control characters written readably
    bool fault = false;
};

// Decodes one event. A request frame is STX + text [+ checksum] + CR; a reply arrives without
// STX and CR. Two trailing hex digits that equal the sum of the text before them count as a
// checksum. Notes: "$TIMEOUT" is a time-out, "$CHKSUM ERROR" a checksum error.
TrafficEntry DecodeMonitorEvent(short index, const QString& message, const QDateTime& when);
// The text the list shows for a direction or status ("checksum error"), in the language in use.
QString TrafficShownText(const QString& english);
// One line of the saved list: time, direction, status, text, checksum, raw bytes (tab-separated).
QString TrafficLine(const TrafficEntry& e);
// The entry with the Login ID of a login ("L...") or change-ID ("P...") request masked: the
// characters after the command letter, the checksum and the raw bytes' copy of them become
// "*". Other entries come back unchanged.
TrafficEntry MaskLoginId(const TrafficEntry& e);

class frmTraffic : public QWidget {
    Q_OBJECT
public:
    explicit frmTraffic(QWidget* parent = nullptr);
    // Listens to a link control's monitor events (one at a time).
    void Attach(CDorlinCtrl* ctrl);
    void AddEvent(short index, const QString& message);
    const std::vector<TrafficEntry>& Entries() const { return entries_; }
    int FaultCount() const;
    // Writes the list as text (UTF-8, one line per event, CR LF); false and a reason on failure.
    // Login IDs are masked unless showLoginIds (the window's check box).
    bool SaveToFile(const QString& path, QString* error = nullptr, bool showLoginIds = false) const;
    void Clear();

    QTreeWidget* lstTraffic = nullptr;
    QLabel* labSummary = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdClear = nullptr;
    QPushButton* cmdClose = nullptr;
    QCheckBox* chkShowLoginIds = nullptr; // "Save..." writes Login IDs in clear

protected:
    void changeEvent(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void UpdateSummary();
    void FitColumns();
    void SaveClicked();
    std::vector<TrafficEntry> entries_;
};

} // namespace pelmar::ui
