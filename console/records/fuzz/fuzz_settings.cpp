// libFuzzer target: the console's settings file (Lorvane/Lorvane.conf under the user's
// configuration folder) holding arbitrary bytes. Reading every setting the console reads must
// not fail, and the save options written back must read back as they were written.
#include "SettingsAccess.h"
#include "pelmar/SaveOptions.h"

#include <lvlang/Settings.h>

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace pelmar;

namespace {

std::string g_dir;
std::string g_file;
long g_stamp = 1000000000; // each input gets its own modification time

void Check(bool ok) {
    if (!ok) std::abort();
}

bool WriteFile(const uint8_t* data, size_t size) {
    FILE* f = std::fopen(g_file.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    // The settings store reloads a file whose size or modification time changed; two inputs
    // of one size written in the same millisecond must not look like one file.
    const timespec times[2] = {{g_stamp, 0}, {g_stamp, 0}};
    ++g_stamp;
    return ok && utimensat(AT_FDCWD, g_file.c_str(), times, 0) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the system offers it: the store locks and syncs the file on every write.
    char shm[] = "/dev/shm/lorvane-fuzz-settings-XXXXXX";
    char tmp[] = "/tmp/lorvane-fuzz-settings-XXXXXX";
    char* dir = mkdtemp(shm);
    if (!dir) dir = mkdtemp(tmp);
    if (!dir) std::abort();
    setenv("XDG_CONFIG_HOME", dir, 1);
    g_dir = dir;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    const std::string sub = std::string(dir) + "/Lorvane";
    mkdir(sub.c_str(), 0700);
    g_file = sub + "/Lorvane.conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    if (!WriteFile(data, size)) return 0;

    clsSaveOptions options;
    LoadSaveOptions(options);
    // What the main window and the language read at start-up.
    (void)lvlang::GetSetting(QStringLiteral("File"), QStringLiteral("FilterIndex"),
                             QStringLiteral("1"))
        .toLong();
    for (const char* key : {"IP1", "IP2", "IP3", "IP4"})
        (void)lvlang::GetSetting(QStringLiteral("Security"), QString::fromLatin1(key),
                                 QStringLiteral("0"))
            .toInt();
    for (const char* key : {"MagneticCompatible", "FieldOption(0)", "TrafficMonitor"})
        (void)lvlang::GetSetting(QStringLiteral("General"), QString::fromLatin1(key));
    for (const char* key : {"DefaultLCID", "Language"})
        (void)lvlang::GetSetting(QStringLiteral("Language"), QString::fromLatin1(key));

    // The options written back read back the same, whatever else the file holds. Writing is
    // slow (a locked, synced file per key), so only files with that section are written back.
    if (!QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size))
             .contains("[SaveOptions]"))
        return 0;
    StoreSaveOptions(options);
    clsSaveOptions again;
    LoadSaveOptions(again);
    Check(again == options);
    lvlang::SaveSetting(QStringLiteral("General"), QStringLiteral("MagneticCompatible"),
                        QStringLiteral("Mode 1"));
    Check(lvlang::GetSetting(QStringLiteral("General"), QStringLiteral("MagneticCompatible")) ==
          QStringLiteral("Mode 1"));
    return 0;
}
