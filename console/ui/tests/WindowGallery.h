// The console's windows as a user meets them, for the checks of their texts and for the
// documentation's pictures: the main window logged in to a simulated reader after an Upload,
// the traffic monitor of that exchange, the archive browser over the records archived from
// it, the reader dialogs loaded from the reader, and the Auto Scan window after it has probed
// simulated readers. Built in the language the settings store chooses when the gallery is made.
#pragma once
#include "SimReader.h"
#include "WindowDriver.h"

#include <QStringList>
#include <QTemporaryDir>
#include <memory>

class QWidget;

namespace pelarchive {
class Archive;
}
namespace pelmar {
class DorlinLink;
namespace discovery {
class ScanEngine;
}
namespace ui {
class frmMain;
}
} // namespace pelmar

namespace uitest {

// Copies the language files and "Format.ini" the build writes into the program data folder
// of this process (DataHome()), so the windows read what an installation reads.
bool UseBuildData();

// Chooses the language by its id (1033 English, 1031 German) for windows made from now on.
void ChooseLanguage(int lcid);

class WindowGallery {
public:
    WindowGallery();
    ~WindowGallery();
    WindowGallery(const WindowGallery&) = delete;
    WindowGallery& operator=(const WindowGallery&) = delete;

    // The names of the windows, in the order of the documentation.
    static QStringList Names();
    // Makes window `name` as in use and shows it; the gallery keeps it until the next call
    // (the main window and the traffic monitor for its lifetime). nullptr for an unknown name
    // or when the reader did not answer as expected (Why() says what went wrong).
    QWidget* Show(const QString& name);
    QString Why() const { return why_; }
    // The answerer of the message boxes and questions the windows show.
    ModalAnswerer& Answers() { return answers_; }

private:
    bool Connected();

    std::unique_ptr<lvtest::SimReader> reader_, second_, other_;
    QTemporaryDir dir_;
    ModalAnswerer answers_;
    std::unique_ptr<pelmar::ui::frmMain> idle_, main_;
    std::unique_ptr<pelmar::discovery::ScanEngine> scan_; // outlives the window showing it
    std::unique_ptr<pelarchive::Archive> archive_;
    std::unique_ptr<pelmar::DorlinLink> link_;
    std::unique_ptr<QWidget> shown_;
    QString why_;
};

} // namespace uitest
