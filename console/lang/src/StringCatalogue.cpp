#include <lvlang/StringCatalogue.h>

#include <QFile>
#include <QSaveFile>
#include <lvlang/AnsiCodec.h>
#include <lvlang/clsLanguage.h>
#include <lvprofile/Profile.h>

namespace lvlang {

const std::vector<CatalogueEntry>& StringCatalogue() {
    // Fallbacks as the program holds them: "\n" is a backslash and an "n" (a line break once
    // read), "\r\n" inside a designed caption is a real line break.
    static const std::vector<CatalogueEntry> table = {
        {"1000", "OK",
         "OK buttons of the login, change-login-ID, settings and save-options windows"},
        {"1001", "Cancel", "Cancel buttons of the same windows"},
        // Main window
        {"10000", "Lorvane", "main window caption; title of the settings window's messages"},
        {"10001", "&Help", "menu Help"},
        {"10002", "Version", "menu Version"},
        {"10003", "Options", "menu Options"},
        {"10004", "Save Options", "menu Save Options"},
        {"10005", "Language", "menu Language"},
        {"10006", "&Exit", "menu Exit"},
        {"11000", "No", "record grid, column 0"},
        {"11001", "Card ID", "record grid, column 1 in card-ID mode"},
        {"11002", "Card Type", "record grid, column 2"},
        {"11003", "Event", "record grid, column 3"},
        {"11004", "Date", "record grid, columns 4 and 5"},
        {"11005", "Track1", "record grid, column 1, magnetic-compatible mode"},
        {"11006", "Track2", "record grid, column 1, magnetic-compatible mode"},
        {"11007", "Track3", "record grid, column 1, magnetic-compatible mode"},
        {"11008", "JIS2", "record grid, column 1, magnetic-compatible mode"},
        {"12000", "Comm  Port", "frame of the port list"},
        {"12001", "AUTO", "port list, item 0"},
        {"12002", "TCP/IP", "port list, item 1"},
        {"12100", "IP", "label of the address field"},
        {"12101", "Magnetic Compatible", "label of the magnetic-compatible list"},
        {"12102", "None", "magnetic-compatible list, item 0"},
        {"12103", "TK1 in Hex", "magnetic-compatible list, item 1"},
        {"12104", "TK1 in Dec", "magnetic-compatible list, item 2"},
        {"12105", "TK2 in Dec", "magnetic-compatible list, item 3"},
        {"12106", "TK3 in Dec", "magnetic-compatible list, item 4"},
        {"12107", "JIS2 in Hex", "magnetic-compatible list, item 5"},
        {"12108", "JIS2 in Dec", "magnetic-compatible list, item 6"},
        {"12200", "Records :", "label of the record count"},
        {"12201", "Field Options:", "label of the field options"},
        {"12202", "Card Type", "field option check box"},
        {"12203", "Event", "field option check box"},
        {"12204", "Week", "field option check box"},
        {"13000", "Upload", "Upload button"},
        {"13001", "", "Upload button tooltip"},
        {"13002", "Save", "Save button"},
        {"13003", "", "Save button tooltip"},
        {"13004", "Erase", "Erase (database) button"},
        {"13005", "", "Erase (database) button tooltip"},
        {"13006", "Date/Time", "Date/Time button"},
        {"13007", "", "Date/Time button tooltip"},
        {"13008", "Version", "Version button"},
        {"13009", "", "Version button tooltip"},
        {"13010", "Settings", "Settings button"},
        {"13011", "", "Settings button tooltip"},
        {"13012", "Change \r\nLogin ID", "Change Login ID button"},
        {"13013", "", "Change Login ID button tooltip"},
        {"13014", "Open", "Open button"},
        {"13015", "", "Open button tooltip"},
        {"13016", "Stop", "Stop button"},
        {"13017", "", "Stop button tooltip"},
        {"13018", "Delete", "Delete button"},
        {"13019", "", "Delete button tooltip"},
        {"13020", "Erase", "Erase button"},
        {"13021", "", "Erase button tooltip"},
        {"13022", "Recovery", "Recovery button"},
        {"13023", "", "Recovery button tooltip"},
        {"13024", "GetTime", "GetTime button"},
        {"13025", "", "GetTime button tooltip"},
        {"13026", "User Name", "User Name button"},
        {"13027", "", "User Name button tooltip"},
        {"13500", "Erase...\\nPlease wait!!!", "message"},
        {"13501", "Do you want to ERASE records?", "question"},
        {"13502", "ERASE records OK!", "message"},
        {"13503", "Can't ERASE records!\\nCan't connect to %s!", "message with the port"},
        {"13504", "Can't ERASE records!", "message"},
        {"13505", "Recovery...\\nPlease wait!!!", "message"},
        {"13506", "Do you want to RECOVERY records?", "question"},
        {"13507", "RECOVERY records OK!", "message"},
        {"13508", "Can't RECOVERY records!\\nCan't connect to %s!", "message with the port"},
        {"13509", "Can't RECOVERY records!", "message"},
        {"13510", "Upload Record...%s\\nPlease wait!!!", "progress text with a spinner character"},
        {"13511", "Get User Name...", "progress text"},
        {"13512", "[Logout]", "status"},
        {"13513", "[Disconnect]", "status"},
        {"13514", "Can't connect to %s!", "message with the port"},
        {"13515", "Card Reader Firmware: %s", "message with the firmware text"},
        {"13516", "Please select a COM Port!", "message"},
        {"13517", "Can't open the port!!", "message"},
        {"13518", "Change Login ID OK", "message"},
        {"13519", "Change Login ID NG\\nCan't connect to %s!", "message with the port"},
        {"13520", "Change Login ID NG", "message"},
        {"13521", "The Login ID is invalid!\\nPlease try again.", "message"},
        {"13522", "The file is in use, please close it or use other file name and save again!",
         "message"},
        {"13523",
         "The \"Save Options\" is available when the \"Magnetic Compatible\" mode is \"NONE\"!",
         "message"},
        {"13524", "Can't convert HEX ID to DEC ID", "message"},
        {"13525", "Can't convert DEC ID to HEX ID", "message"},
        // Change-login-ID window
        {"14000", "Change Login ID", "change-login-ID window caption"},
        {"14001", "Enter Login ID :", "first prompt"},
        {"14002", "Login ID have to be 4 digital numbers", "hint"},
        {"14003", "Re-Enter Login ID :", "second prompt"},
        {"14004", "Difference ID", "mismatch note"},
        // Login window
        {"15000", "Login", "login window caption"},
        {"15001", "Enter Login ID :", "prompt"},
        {"15002", "Login ID have to be 4 digital numbers\r\nThe default setting is 4826", "hint"},
        // Settings window
        {"16000", " Lorvane Settings", "settings window caption"},
        {"16001", "Machine ID", "label"},
        {"16002", "User Name", "label"},
        {"16003", "Operate sound enabled", "check box"},
        {"16004", "Date Format", "label"},
        {"16005", "LCD Back-Light Off Time", "label"},
        {"16006", "Use Large Fonts", "check box"},
        {"16007", "Power Mode", "frame"},
        {"16008", "Real Control", "power mode option"},
        {"16009", "Switch Control", "power mode option"},
        {"16010", "Auto Power Off", "power mode option"},
        {"16011", "Options of event", "label"},
        {"16012", "Scan mode", "label"},
        {"16013", "Continuous", "scan mode list, item 0"},
        {"16014", "Button", "scan mode list, item 1"},
        {"16015", "Unmodifiable date/time", "check box"},
        {"16016", "RFID scan time", "label"},
        {"16100", "Apply Settings OK!", "message"},
        // Date and time window
        {"17000", "Date/Time", "date and time window caption"},
        {"17001", "Date", "label"},
        {"17002", "Time", "label"},
        {"17003", "Sync.", "Sync button"},
        {"17004", "Apply", "Apply button"},
        {"17005", "OK", "OK button"},
        {"17006", "Cancel", "Cancel button"},
        {"17007", "Database not empty", "note and message"},
        {"17008", "Set Date/Time OK", "message"},
        {"17009", "Set Date/Time NG", "message"},
        {"17010", "Can't get time!!!", "message"},
        {"17011", "Can't get time/ Database not empty", "message"},
        // Save options window
        {"18000", " Save Options", "save options window caption"},
        {"18001", "Assign Events", "frame"},
        {"18002", "Event", "event column labels"},
        {"18003", "Event Name", "event-name column labels"},
        {"18004", "Field Options", "frame"},
        {"18005", "Add Machine ID", "check box"},
        {"18006", "Add User Name", "check box"},
        {"18007", "Save date and time in two fields", "check box"},
        {"18008", "Save File Options", "frame"},
        {"18009", "Format", "label of the format list"},
        {"18010", "Convert ID", "label of the ID conversion list"},
        {"18011", "None", "ID conversion list, item 0"},
        {"18012", "HEX to DEC", "ID conversion list, item 1"},
        {"18013", "DEC to HEX", "ID conversion list, item 2"},
        // Traffic monitor window and its menu entry
        {"19000", "Traffic Monitor", "menu Traffic Monitor"},
        {"19001", "Traffic Monitor", "traffic monitor window caption"},
        {"19002", "Time", "traffic list, column 1"},
        {"19003", "Dir", "traffic list, column 2"},
        {"19004", "Status", "traffic list, column 3"},
        {"19005", "Text", "traffic list, column 4"},
        {"19006", "Sum", "traffic list, column 5"},
        {"19007", "Raw", "traffic list, column 6"},
        {"19008", "Save...", "Save button of the traffic monitor"},
        {"19009", "Clear", "Clear button of the traffic monitor"},
        {"19010", "Close", "Close button of the traffic monitor"},
        {"19011", "%d events, %d faults", "traffic summary with two numbers"},
        {"19020", "note", "traffic direction: the link control's own note"},
        {"19021", "send", "traffic direction: request sent"},
        {"19022", "recv", "traffic direction: reply received"},
        {"19023", "OK", "traffic status"},
        {"19024", "no checksum", "traffic status"},
        {"19025", "checksum error", "traffic status"},
        {"19026", "time-out", "traffic status"},
        {"19027", "no STX", "traffic status"},
        {"19028", "no CR", "traffic status"},
        {"19029", "refused", "traffic status"},
        {"19030", "accepted", "traffic status"},
        {"19031", "reply", "traffic status"},
        {"19032", "unknown kind", "traffic status"},
        {"19033", "Save Login IDs in clear", "traffic monitor: Save... keeps Login IDs unmasked"},
        // Buttons of the Yes/No confirmation boxes
        {"19100", "&Yes", "Yes button of confirmation boxes"},
        {"19101", "&No", "No button of confirmation boxes"},
        // Settings window: values brought into range on reading
        {"19200", "Brought into range when read (not written unless changed or confirmed):",
         "settings window, notice above the adjusted values"},
        {"19201", "Write the values shown", "settings window, check box"},
        {"19202", "%s: the reader holds %s, shown as %s",
         "settings window, one adjusted value (setting, value read, value shown)"},
        // Archive: the menu, its messages and the archive browser
        {"19300", "&Archive", "menu Archive"},
        {"19301", "Save to archive", "menu Archive, entry: the table's records into the archive"},
        {"19302", "Browse archive\u2026", "menu Archive, entry: opens the archive browser"},
        {"19303", "Safe erase",
         "menu Archive, entry: download, archive and check, and only then erase"},
        {"19304", "No records to archive: Upload first.", "message"},
        {"19305", "Can't open the archive: %s", "message with the reason"},
        {"19306", "Connect to a reader first.", "message"},
        {"19307", "%d new, %d already archived",
         "message after archiving: records added, records the archive held already"},
        {"19310", "Archive - %s", "archive browser caption with the archive's location"},
        {"19311", "Reader", "archive browser, label of the reader list"},
        {"19312", "Card ID", "archive browser, label of the card field"},
        {"19313", "From", "archive browser, check box of the earliest punch time"},
        {"19314", "Until", "archive browser, check box of the latest punch time"},
        {"19315", "Search", "archive browser, Search button"},
        {"19316", "(all readers)", "archive browser, reader list, item 0"},
        {"19317", "any card", "archive browser, hint in the empty card field"},
        {"19318", "Reader", "archive browser, column 1"},
        {"19319", "Card ID", "archive browser, column 2"},
        {"19320", "Card Type", "archive browser, column 3"},
        {"19321", "Event", "archive browser, column 4"},
        {"19322", "Punch", "archive browser, column 5: the punch time"},
        {"19323", "Archived (UTC)", "archive browser, column 6: when the record was archived"},
        {"19324", "Export...", "archive browser, Export button"},
        {"19325", "Close", "archive browser, Close button"},
        {"19326", "1 record", "archive browser, count of one record"},
        {"19327", "%d records", "archive browser, count of records"},
        {"19328", "%d records written to %s", "message after an export, with the file name"},
        {"19340", "Can't archive: %s", "archive message with the reason"},
        {"19341",
         "Can't archive: the reader's machine ID could not be read; give the reader a name "
         "(--reader, or its section of a readers file)",
         "archive message"},
        {"19342", "Not resumed: the reader now holds %d records, fewer than the %d read.",
         "archive message: a download not resumed"},
        {"19343", "Link lost after %d records; reconnected, resuming at record %d.",
         "archive message: a download resumed"},
        {"19344", "Can't archive the %d records read: %s", "archive message with the reason"},
        {"19345", " The reader is untouched.", "end of the safe erase's refusals (leading blank)"},
        {"19346", "Not erased: the download ended after %d of %d records.", "safe erase message"},
        {"19347", "Not erased: can't archive the records: %s.", "safe erase message"},
        {"19348", "Not erased: can't check the archive: %s.", "safe erase message"},
        {"19349", "Not erased: the archive holds %d of the %d records read.", "safe erase message"},
        {"19350", "The reader now holds %d records, not %d: archiving again.",
         "safe erase message"},
        {"19351", "No records to erase.", "erase message"},
        {"19352", "Not erased: the reader kept gaining records in %d rounds.",
         "safe erase message"},
        // Other additions of the main window and its operations
        {"19400", "Baud rate", "main window, tooltip of the baud rate list"},
        {"19401", "The reader counted %d records; %d were read.",
         "message after a download whose count disagrees"},
        {"19402", "Erase...\\nStill waiting for the reader",
         "message panel while a slow reader erases"},
        {"19403", "The file was saved as %s.\\nNo application is set up to open this type of file.",
         "message when a saved file cannot be opened"},
        {"19404", "Events from 0 to %d", "settings window, tooltip of the event list"},
        {"19405", "Event 0", "settings window, tooltip of the event list"},
        {"19406", " Kt4 and PC time synchronization ",
         "date and time window, tooltip of Sync.: sets the reader's clock to the PC's"},
        // Reader discovery window
        {"AUTOSCAN000", "Auto Scan", "discovery window caption"},
        {"AUTOSCAN001", "Port", "list column 1"},
        {"AUTOSCAN002", "Device", "list column 2"},
        {"AUTOSCAN003", "Refresh", "Refresh button"},
        {"AUTOSCAN004", "Select", "Select button"},
        {"AUTOSCAN005", "Cancel", "Cancel button"},
        {"AUTOSCAN006", "Checking...", "scan message"},
        {"AUTOSCAN007", "Found", "scan message"},
        {"AUTOSCAN008", "Other", "scan message"},
        {"AUTOSCAN009", "Error", "scan message"},
        {"AUTOSCAN010", "Unknown", "scan message"},
        {"AUTOSCAN011", "COM%d is removed!", "scan message with a port number"},
        {"AUTOSCAN012", "Check in %dbps", "scan message with a baud rate"},
        {"AUTOSCAN013", "Can't open IP: %s", "scan message with an address"},
        {"AUTOSCAN014", "Can't open COM%d", "scan message with a port number"},
        {"AUTOSCAN015", "Timeout", "scan message"},
        {"AUTOSCAN016", "Unknown Error", "scan message"},
        {"AUTOSCAN017", "COM%d is in use", "scan message with a port number"},
    };
    return table;
}

QString CatalogueFallback(const QString& id) {
    for (const CatalogueEntry& e : StringCatalogue())
        if (id.compare(QLatin1String(e.id), Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(e.fallback);
    return QString();
}

QByteArray EnglishLanguageFile() {
    lvprofile::Profile p;
    auto put = [&p](const char* section, const QString& key, const QString& value) {
        p.SetValue(section, AnsiCodec::fromUnicode(key).toStdString(),
                   AnsiCodec::fromUnicode(value).toStdString());
    };
    put("INFO", QStringLiteral("Version"), QStringLiteral("1.0"));
    put("INFO", QStringLiteral("LanguageID"), QStringLiteral("1033"));
    put("INFO", QStringLiteral("Language"), QStringLiteral("English"));
    put("INFO", QStringLiteral("CompanyName"), QStringLiteral("Lorvane"));
    put("INFO", QStringLiteral("ProductName"), QStringLiteral("Lorvane"));
    for (const CatalogueEntry& e : StringCatalogue()) {
        // The text as the console shows it, written so that it reads back the same.
        const QString shown = clsLanguage::ReadEscapes(QString::fromUtf8(e.fallback));
        put("LANGUGAE", QString::fromLatin1(e.id), clsLanguage::WriteEscapes(shown));
    }
    put("FONT", QStringLiteral("1000"), QStringLiteral("Courier New"));
    return QByteArray::fromStdString(p.Bytes());
}

bool WriteEnglishLanguageFile(const QString& path, QString* error) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(EnglishLanguageFile()) < 0 || !f.commit()) {
        if (error) *error = QStringLiteral("Can't write %1: %2").arg(path, f.errorString());
        return false;
    }
    return true;
}

} // namespace lvlang
