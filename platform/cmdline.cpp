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
