#include "CliOptions.h"

namespace pelmar::cli {

Options Parse(const QStringList& args, const QStringList& valued, const QStringList& flagNames) {
    Options o;
    if (args.isEmpty()) return o;
    o.command = args[0];
    for (int i = 1; i < args.size(); ++i) {
        QString a = args[i];
        QString name = a, inlineValue;
        bool hasInline = false;
        if (a.startsWith(QLatin1String("--")) && a.contains(QLatin1Char('='))) {
            name = a.left(a.indexOf(QLatin1Char('=')));
            inlineValue = a.mid(a.indexOf(QLatin1Char('=')) + 1);
            hasInline = true;
        }
        if (flagNames.contains(name) && !hasInline) {
            o.flags << name;
        } else if (valued.contains(name)) {
            QString v;
            if (hasInline) {
                v = inlineValue;
            } else if (i + 1 < args.size()) {
                v = args[++i];
            } else {
                o.error = QStringLiteral("%1 needs a value").arg(name);
                return o;
            }
            if (name == QLatin1String("--set"))
                o.sets << v;
            else
                o.values[name] = v;
        } else if (name == QLatin1String("--set") && o.command == QLatin1String("settings")) {
            o.sets << inlineValue;
        } else {
            o.error = QStringLiteral("unknown option: %1").arg(a);
            return o;
        }
    }
    return o;
}

Options Parse(const QStringList& args, std::span<const OptionRow> rows) {
    QStringList valued, flagNames;
    for (const OptionRow& r : rows)
        (r.value ? valued : flagNames) << QLatin1String(r.name);
    Options o = Parse(args, valued, flagNames);
    if (!o.error.isEmpty()) return o;
    for (const OptionRow& r : rows) {
        const QString name = QLatin1String(r.name);
        if (!o.values.contains(name)) continue;
        bool ok = true;
        if (r.max > r.min) {
            const long n = o.values[name].trimmed().toLong(&ok);
            ok = ok && n >= r.min && n <= r.max;
        }
        if (r.valid) ok = ok && r.valid(o.values[name]);
        if (!ok) {
            o.error = QStringLiteral("%1 %2: accepted: %3").arg(name, o.values[name], r.accepted);
            return o;
        }
    }
    return o;
}

} // namespace pelmar::cli
