#include "host.h"

#include "pump.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>
#include <ctime>
#include <memory>
#include <vector>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#endif

namespace {
std::unique_ptr<QProcess> g_sim;
}

bool StartHeadlessRuntime(int argc, char** argv) {
    if (QCoreApplication::instance()) {
        return true;
    }
    static int s_argc = 0;
    static char* s_argv[] = {const_cast<char*>("zel-vavod-cli"), nullptr};
    s_argc = argc > 0 && argv ? argc : 1;
    // Lives until the process ends, as the windowed run-time's application does.
    new QCoreApplication(s_argc, argc > 0 && argv ? argv : s_argv);
    return QCoreApplication::instance() != nullptr;
}

namespace {
std::vector<void (*)()>& StopCalls() {
    static std::vector<void (*)()> calls;
    return calls;
}
} // namespace

void platform_internal::AtRuntimeStop(void (*fn)()) {
    if (std::find(StopCalls().begin(), StopCalls().end(), fn) == StopCalls().end()) {
        StopCalls().push_back(fn);
    }
}

void StopHeadlessRuntime() {
    auto& calls = StopCalls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
        (*it)();
    }
}

std::string GetExecutableDir() {
    if (!QCoreApplication::instance()) {
        return ".";
    }
    return QCoreApplication::applicationDirPath().toLocal8Bit().toStdString();
}

std::string DocumentsDir() {
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
        .toLocal8Bit()
        .toStdString();
}

bool DirectoryWritable(const std::string& dir) {
    QTemporaryFile probe(QString::fromLocal8Bit(dir.c_str()) +
                         QStringLiteral("/.zel-write-XXXXXX"));
    return probe.open(); // removed when it goes out of scope
}

double ProcessCpuSeconds() {
#ifdef _WIN32
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
#else
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
#endif
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
#ifdef Q_OS_WIN
    // On Windows the simulator serves a TCP port: a free one on this machine unless asked.
    if (!list.contains(QStringLiteral("--tcp"))) {
        list << QStringLiteral("--tcp") << QStringLiteral("127.0.0.1:0");
    }
#endif
    g_sim->setProcessChannelMode(QProcess::ForwardedErrorChannel);
#ifdef Q_OS_LINUX
    // The simulator goes when the program goes, even when the program is killed.
    g_sim->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
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

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               double timeoutSeconds, std::string& error) {
    QProcess p;
    QStringList list;
    for (const auto& a : args) {
        list << QString::fromLocal8Bit(a.c_str());
    }
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(QString::fromLocal8Bit(program.c_str()), list);
    if (!p.waitForStarted(static_cast<int>(timeoutSeconds * 1000))) {
        error = program + ": " + p.errorString().toStdString();
        return -1;
    }
    if (!p.waitForFinished(static_cast<int>(timeoutSeconds * 1000))) {
        p.kill();
        p.waitForFinished(1000);
        error =
            program + ": no end within " + std::to_string(static_cast<int>(timeoutSeconds)) + " s";
        return -1;
    }
    if (p.exitStatus() != QProcess::NormalExit) {
        error = program + ": crashed";
        return -1;
    }
    if (p.exitCode() != 0) {
        const QList<QByteArray> lines = p.readAllStandardError().trimmed().split('\n');
        error = lines.isEmpty() || lines.back().isEmpty()
                    ? program + ": exit code " + std::to_string(p.exitCode())
                    : lines.back().toStdString();
    }
    return p.exitCode();
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
