#include "pelmar/SaveOptions.h"

#include "SettingsAccess.h"

QString clsSaveOptions::EventNames(int Index) const {
    if (Index < 0 || Index >= kEventCount) return QString();
    return m_eventNames[static_cast<size_t>(Index)];
}

void clsSaveOptions::SetEventNames(int Index, const QString& szName) {
    if (Index < 0 || Index >= kEventCount) return;
    m_eventNames[static_cast<size_t>(Index)] = szName.trimmed();
}

bool clsSaveOptions::EventEnableds(int Index) const {
    return !EventNames(Index).isEmpty();
}

namespace pelmar {
namespace {

const QString kSection = QStringLiteral("SaveOptions");

QString EventKey(int i) {
    return QStringLiteral("EventName_") + QString::number(i);
}

bool ReadFlag(const QString& key) {
    return ReadSetting(kSection, key, QStringLiteral("FALSE")).toUpper() == u"TRUE";
}

QString FlagText(bool b) {
    return b ? QStringLiteral("True") : QStringLiteral("False");
}

} // namespace

void LoadSaveOptions(clsSaveOptions& options) {
    for (int i = 0; i < clsSaveOptions::kEventCount; ++i)
        options.SetEventNames(i, ReadSetting(kSection, EventKey(i), QString()));
    options.SetIsAddMachineID(ReadFlag(QStringLiteral("IsAddMachineID")));
    options.SetIsAddUserName(ReadFlag(QStringLiteral("IsAddUserName")));
    options.SetIsSDTInTwoFields(ReadFlag(QStringLiteral("IsSDTInTwoFields")));
    options.SetSaveFormat(
        ReadSetting(kSection, QStringLiteral("SaveFormat"), QStringLiteral("(Default)")));
    bool ok = false;
    const long method =
        ReadSetting(kSection, QStringLiteral("ConvertIDMethod"), QStringLiteral("0"))
            .trimmed()
            .toLong(&ok);
    options.SetConvertIDMethod(ok ? method : 0);
}

void StoreSaveOptions(const clsSaveOptions& options) {
    for (int i = 0; i < clsSaveOptions::kEventCount; ++i)
        WriteSetting(kSection, EventKey(i), options.EventNames(i));
    WriteSetting(kSection, QStringLiteral("IsAddMachineID"), FlagText(options.IsAddMachineID()));
    WriteSetting(kSection, QStringLiteral("IsAddUserName"), FlagText(options.IsAddUserName()));
    WriteSetting(kSection, QStringLiteral("IsSDTInTwoFields"),
                 FlagText(options.IsSDTInTwoFields()));
    WriteSetting(kSection, QStringLiteral("SaveFormat"), options.SaveFormat());
    WriteSetting(kSection, QStringLiteral("ConvertIDMethod"),
                 QString::number(options.ConvertIDMethod()));
}

} // namespace pelmar
