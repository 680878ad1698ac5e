#include "console.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <cstdio>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

bool StderrIsTerminal() {
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

std::string JsonString(std::string_view utf8) {
    // Qt writes the one-element array compactly as ["..."]: the literal is what lies between.
    const QJsonArray one{QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()))};
    const QByteArray text = QJsonDocument(one).toJson(QJsonDocument::Compact);
    return std::string(text.constData() + 1, static_cast<std::size_t>(text.size() - 2));
}
