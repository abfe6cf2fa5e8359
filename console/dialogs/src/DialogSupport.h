// Small helpers the dialogs share: named, tagged controls and language application.
#pragma once
#include <QString>
#include <QWidget>
#include <pelmar/ui/QtPropertyHost.h>

namespace pelmar::dialogs {

// Names a control (the language service walks named controls) and gives it its tag.
template <typename W> W* Named(W* w, const char* name, const QString& tag = {}) {
    w->setObjectName(QString::fromLatin1(name));
    if (!tag.isEmpty()) pelmar::ui::SetTag(w, tag);
    return w;
}

// Registers a dialog for language changes and applies the current language to it.
inline void LoadFormLanguage(QWidget* form) {
    pelmar::ui::RegisterLanguageWindow(form);
    pelmar::ui::ApplyFormLanguage(form);
}

} // namespace pelmar::dialogs
