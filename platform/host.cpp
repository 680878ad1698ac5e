#include "host.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>

#include <memory>

namespace {
std::unique_ptr<QProcess> g_sim;
}

std::string GetExecutableDir() {
    if (!QCoreApplication::instance()) {
        return ".";
    }
    return QCoreApplication::applicationDirPath().toLocal8Bit().toStdString();
}

bool DisplayAvailable() {
#if defined(Q_OS_LINUX) || defined(Q_OS_UNIX)
    auto env = QProcessEnvironment::systemEnvironment();
    return env.contains("QT_QPA_PLATFORM") || !env.value("DISPLAY").isEmpty() ||
           !env.value("WAYLAND_DISPLAY").isEmpty();
#else
    return true;
#endif
}

std::string StartSimulator(const std::string& program, const std::vector<std::string>& args,
                           double timeoutSeconds, std::string& error) {
    StopSimulator();
    g_sim = std::make_unique<QProcess>();
    QStringList list;
    for (const auto& a : args) {
        list << QString::fromLocal8Bit(a.c_str());
    }
    g_sim->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    g_sim->start(QString::fromLocal8Bit(program.c_str()), list);
    int ms = static_cast<int>(timeoutSeconds * 1000);
    if (!g_sim->waitForStarted(ms)) {
        error = "cannot start " + program + ": " + g_sim->errorString().toStdString();
        g_sim.reset();
        return {};
    }
    QByteArray line;
    while (!g_sim->canReadLine()) {
        if (!g_sim->waitForReadyRead(ms) || g_sim->state() != QProcess::Running) {
            if (g_sim->canReadLine()) {
                break;
            }
            error = program + " did not report its device";
            StopSimulator();
            return {};
        }
    }
    line = g_sim->readLine(4096).trimmed();
    if (line.isEmpty()) {
        error = program + " reported no device";
        StopSimulator();
        return {};
    }
    return line.toStdString();
}

void StopSimulator() {
    if (!g_sim) {
        return;
    }
    if (g_sim->state() != QProcess::NotRunning) {
        g_sim->terminate();
        if (!g_sim->waitForFinished(2000)) {
            g_sim->kill();
            g_sim->waitForFinished(1000);
        }
    }
    g_sim.reset();
}

std::vector<std::string> SplitArgs(const std::string& text, bool& ok) {
    std::vector<std::string> out;
    std::string cur;
    bool inWord = false, quoted = false;
    ok = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            cur += text[++i];
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n')) {
            if (inWord) {
                out.push_back(cur);
                cur.clear();
                inWord = false;
            }
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (quoted) {
        ok = false;
    }
    if (inWord) {
        out.push_back(cur);
    }
    return out;
}
