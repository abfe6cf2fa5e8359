// The language service: lists the language files of the language folder, selects one by
// locale id or name, reads texts by string id with English fallbacks, and applies texts and
// fonts to windows and controls from the "lng" and "fnt" groups of their tag strings.
#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <lvlang/LanguageTarget.h>
#include <memory>
#include <optional>
#include <tessel/clsTessel.h>
#include <vector>

namespace lvprofile {
class Profile;
}

namespace lvlang {

class ProfileCache;

// What a language file says about itself (section "INFO").
struct LanguageEntry {
    double Version = 0;
    std::int32_t LanguageID = 0;
    QString Language;
    QString CompanyName;
    QString ProductName;
    QString FontName;
    double FontSize = 0;
    std::int32_t Charset = 1;
    QString FileName;
};

class clsLanguage {
public:
    // Start-up: reads the stored choice ("Language"/"DefaultLCID" in the settings store) and
    // selects the current file from `languageDirectory` (default: LanguageDir()).
    explicit clsLanguage(const QString& languageDirectory = QString());
    // Stores the current LCID and language name in the settings store.
    ~clsLanguage();
    clsLanguage(const clsLanguage&) = delete;
    clsLanguage& operator=(const clsLanguage&) = delete;

    std::int32_t SystemDefaultLCID() const;
    QString SystemLanguageName() const;

    double LanguageVersion() const { return languageVersion_; }
    void setLanguageVersion(double v) { languageVersion_ = v; }

    // Takes the attached box's selection as the new language.
    void UpdateLanguageBoxChange();
    // Attaches a drop-down list (or none) and fills it.
    void SetLanguageBox(ILanguageBox* box);
    // Rebuilds the language list and selects the current file; -1 stands for the system's
    // default LCID.
    void ListRefresh(std::int32_t& lcid);

    QString LanguageDirectory() const { return languageDirectory_; }
    void setLanguageDirectory(const QString& dir);

    bool OpenFile(const QString& path);
    // A language file given as its bytes: `name` becomes the current file and lookups read
    // these bytes (not the disk) until it is written to or another one is given. False when
    // the bytes are no language file (too large, or UTF-16 that does not decode).
    bool OpenBytes(const QString& name, const QByteArray& bytes);
    QString Section() const { return section_; }
    void setSection(const QString& section);

    bool GetKeyValueEx(QString& value, const QString& key, const QString& fallback,
                       const QString& section, const QString& file);
    QString GetKeyValue(const QString& key, const QString& fallback, const QString& section = {});
    bool SetKeyValue(const QString& key, const QString& value, const QString& section = {});
    QString GetString(const QString& id, const QString& fallback);
    bool SetString(const QString& id, const QString& text);

    // Applies the current language and fonts to the window and its controls. False when the
    // window has no readable Font (nothing is changed then).
    bool LoadFormStrings(ILanguageForm& window);
    // The same for one control (no caption suffix, no AutoSave); false without a Font.
    bool LoadObjectStrings(tessel::IPropertyHost& object);

    // State of the selection.
    QString CurrentFile() const { return currentFile_; }
    QString CurrentLanguage() const { return languageName_; }
    std::int32_t CurrentLCID() const { return lcid_; }
    const std::vector<LanguageEntry>& Languages() const { return entries_; }

    // Reads one file's "INFO" section; false when the file is rejected (a LanguageID that is
    // neither decimal nor "0x" hexadecimal).
    static bool ReadLanguageFile(LanguageEntry& entry, const QString& path);
    // The same for a file's bytes; `path` names it (the language name falls back on it).
    static bool ReadLanguageBytes(LanguageEntry& entry, const QByteArray& bytes,
                                  const QString& path);
    // Read escapes ("\\" to "\", "\n" to CR LF) and write escapes (the reverse).
    static QString ReadEscapes(const QString& value);
    static QString WriteEscapes(const QString& value);
    // A caption made fit for a tag value: "%" "%%", blank "," "=" "{" "}" ":" as %XX.
    static QString EncodeTagCaption(const QString& caption);
    static QString DecodeTagCaption(const QString& encoded);
    // The property path a "lng" item key addresses ("cap" Caption, "btmt(1,2)"
    // Buttons(1).ButtonMenus(2).Text ...); empty when the key names none.
    static QString PropertyForKey(const QString& key);

private:
    struct DefaultFont {
        QString name;
        double size = 0;
        std::int32_t charset = 0;
    };
    // The raw value of a key in a file: nothing for a missing file, section or key.
    std::optional<QString> ReadRaw(const QString& file, const QString& section, const QString& key);
    static bool FillEntry(LanguageEntry& entry, bool loaded, const lvprofile::Profile& profile,
                          const QString& path);
    bool ReadDefaultFont(tessel::IPropertyHost& obj, DefaultFont& font);
    void ProcessObject(tessel::IPropertyHost& obj, const DefaultFont& font);

    QString currentFile_;
    QString section_ = QStringLiteral("General");
    double languageVersion_ = 1.0;
    QString languageDirectory_;
    QString languageName_;
    std::int32_t lcid_ = 0;
    QString extension_ = QStringLiteral("lng");
    ILanguageBox* box_ = nullptr;
    std::vector<LanguageEntry> entries_;
    std::unique_ptr<ProfileCache> cache_;
    tessel::clsTessel tessel_;
};

// One translatable text: a string id plus its English fallback, translated on demand.
class clsLanguageString {
public:
    // Links `language` when item `itemName` of group "LNG" of the tag exists; the fallback is
    // kept in any case. True when linked.
    bool TagLinkString(clsLanguage* language, const QString& tag, const QString& itemName,
                       const QString& fallback);
    void LinkString(clsLanguage* language, const QString& id, const QString& fallback);
    QString Text() const;
    QString Id() const { return id_; }

private:
    clsLanguage* language_ = nullptr;
    QString id_;
    QString fallback_;
};

} // namespace lvlang
