#include "cmdline.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <map>

namespace {
std::string Dashed(const std::string& name) {
    return (name.size() == 1 ? "-" : "--") + name;
}

// The word as typed for a name the parser reports, up to any '='.
std::string AsTyped(int argc, char** argv, const QString& name) {
    for (int i = 1; i < argc; ++i) {
        QString word = QString::fromLocal8Bit(argv[i]);
        QString bare = word;
        while (bare.startsWith('-')) {
            bare.remove(0, 1);
        }
        const qsizetype eq = bare.indexOf('=');
        if ((eq < 0 ? bare : bare.left(eq)) == name) {
            return (eq < 0 ? word : word.left(word.indexOf('='))).toLocal8Bit().toStdString();
        }
    }
    return Dashed(name.toLocal8Bit().toStdString());
}
} // namespace

CommandLineError SplitCommandLine(int argc, char** argv,
                                  const std::vector<CommandLineOption>& declared, CommandLine& out,
                                  std::string& offending) {
    out = {};
    QCommandLineParser parser;
    // "-json" is one word, never -j -s -o -n; a word after the command is still an option.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    std::map<std::string, std::string> canonical; // any name -> the option's first name
    std::map<std::string, bool> valued;
    for (const CommandLineOption& o : declared) {
        QStringList names;
        for (const std::string& n : o.names) {
            names << QString::fromStdString(n);
            canonical[n] = o.names.front();
        }
        valued[o.names.front()] = o.takesValue;
        parser.addOption(o.takesValue
                             ? QCommandLineOption(names, QString(), QStringLiteral("value"))
                             : QCommandLineOption(names));
    }
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    if (!parser.parse(args)) {
        if (!parser.unknownOptionNames().isEmpty()) {
            offending = AsTyped(argc, argv, parser.unknownOptionNames().front());
            return CommandLineError::UnknownOption;
        }
        // "Missing value after '--dir'." is the parser's only other refusal.
        static const QRegularExpression kMissing(QStringLiteral("'(.*)'"));
        const auto m = kMissing.match(parser.errorText());
        offending = m.hasMatch() ? m.captured(1).toLocal8Bit().toStdString() : "option";
        return CommandLineError::MissingValue;
    }
    // Each occurrence in order; the values of a repeated option come in the same order.
    std::map<std::string, int> taken;
    for (const QString& q : parser.optionNames()) {
        const std::string first = canonical[q.toLocal8Bit().toStdString()];
        out.options.push_back(Dashed(first));
        if (valued[first]) {
            const QStringList values = parser.values(QString::fromStdString(first));
            const int k = taken[first]++;
            out.options.push_back(k < values.size() ? values[k].toLocal8Bit().toStdString() : "");
        }
    }
    for (const QString& p : parser.positionalArguments()) {
        out.positional.push_back(p.toLocal8Bit().toStdString());
    }
    return CommandLineError::None;
}

namespace {
// QGuiApplication's and QApplication's options, and the X11 ones the xcb platform reads. Qt
// takes a value as the next word; -style and -stylesheet also after '=', -qmljsdebugger only so.
enum class QtValue { None, Next, NextOrInline, Inline };
struct QtOption {
    const char* name;
    QtValue value;
};
constexpr QtOption kQtOptions[] = {
    {"platform", QtValue::Next},
    {"platformpluginpath", QtValue::Next},
    {"platformtheme", QtValue::Next},
    {"plugin", QtValue::Next},
    {"qwindowgeometry", QtValue::Next},
    {"qwindowtitle", QtValue::Next},
    {"qwindowicon", QtValue::Next},
    {"session", QtValue::Next},
    {"display", QtValue::Next},
    {"geometry", QtValue::Next},
    {"title", QtValue::Next},
    {"name", QtValue::Next},
    {"visual", QtValue::Next},
    {"style", QtValue::NextOrInline},
    {"stylesheet", QtValue::NextOrInline},
    {"qmljsdebugger", QtValue::Inline},
    {"reverse", QtValue::None},
    {"widgetcount", QtValue::None},
    {"nograb", QtValue::None},
    {"dograb", QtValue::None},
    {"sync", QtValue::None},
    {"testability", QtValue::None},
};
} // namespace

bool TakeQtOptions(int argc, char** argv, SplitArgv& out, std::string& offending) {
    out = {};
    if (argc <= 0 || !argv) {
        return true;
    }
    out.qt.push_back(argv[0]);
    out.rest.push_back(argv[0]);
    bool ended = false; // after "--" every word is the program's
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i] ? argv[i] : "";
        if (ended || word.size() < 2 || word[0] != '-') {
            out.rest.push_back(argv[i]);
            continue;
        }
        if (word == "--") {
            ended = true;
            out.rest.push_back(argv[i]);
            continue;
        }
        std::string bare = word.substr(word[1] == '-' ? 2 : 1);
        const std::size_t eq = bare.find('=');
        const bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            bare.resize(eq);
        }
        const QtOption* match = nullptr;
        for (const QtOption& o : kQtOptions) {
            if (bare == o.name) {
                match = &o;
            }
        }
        // A form Qt does not take (-platform=x, -reverse=1, -qmljsdebugger x) stays the
        // program's, which refuses it in its own words.
        const bool needsNext =
            match && !inlineValue &&
            (match->value == QtValue::Next || match->value == QtValue::NextOrInline);
        const bool taken = match && (inlineValue ? match->value == QtValue::NextOrInline ||
                                                       match->value == QtValue::Inline
                                                 : match->value != QtValue::Inline);
        if (!taken) {
            out.rest.push_back(argv[i]);
            continue;
        }
        out.qt.push_back(argv[i]);
        if (needsNext) {
            if (i + 1 >= argc) {
                offending = word;
                return false;
            }
            out.qt.push_back(argv[++i]);
        }
    }
    return true;
}
