// The file dialog and path helpers.
#include "runtime/ui_internal.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

#include <cstring>
#include <deque>
#include <string>

namespace platform_internal {
namespace {
FileSelectScript g_fileScript = nullptr;
std::string g_projectDir = ".";
bool g_answersGiven = false;
std::deque<std::string> g_answers;
} // namespace

void SetFileSelectScript(FileSelectScript script) {
    g_fileScript = script;
}
} // namespace platform_internal

using namespace platform_internal;

void AnswerFileSelectsWith(const char* const* paths, std::size_t count) {
    g_answersGiven = true;
    for (std::size_t i = 0; i < count; ++i) {
        g_answers.emplace_back(paths[i] ? paths[i] : "");
    }
}

int FileSelectPopup(const char* defaultDirectory, const char* defaultFileName, const char* filter,
                    const char* title, int buttonKind, int, int restrictExtension, int,
                    int allowMakeDirectory, char pathName[MAX_PATHNAME_LEN]) {
    if (!pathName) {
        return VAL_NO_FILE_SELECTED;
    }
    std::string chosen;
    if (g_fileScript) {
        auto str = [](const char* s) { return std::string(s ? s : ""); };
        g_fileScript(
            {str(defaultDirectory), str(defaultFileName), str(filter), str(title), buttonKind},
            chosen);
    } else if (g_answersGiven) {
        if (!g_answers.empty()) {
            chosen = g_answers.front();
            g_answers.pop_front();
        }
    } else if (qEnvironmentVariableIsSet("ZEL_NO_DIALOGS")) {
        chosen.clear(); // nobody to answer: a cancel
    } else {
        QFileDialog dlg(nullptr, QString::fromLatin1(title ? title : ""),
                        QString::fromLocal8Bit(defaultDirectory ? defaultDirectory : ""));
        bool load = buttonKind == VAL_LOAD_BUTTON;
        dlg.setAcceptMode(load ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
        dlg.setFileMode(load ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
        QString f = QString::fromLatin1(filter ? filter : "");
        if (!f.isEmpty()) {
            dlg.setNameFilter(restrictExtension ? f : f + ";;*");
        }
        if (!allowMakeDirectory) {
            dlg.setOption(QFileDialog::ReadOnly);
        }
        dlg.setLabelText(QFileDialog::Accept, load ? "Load" : "OK");
        dlg.selectFile(QString::fromLocal8Bit(defaultFileName ? defaultFileName : ""));
        if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty()) {
            chosen =
                QDir::toNativeSeparators(dlg.selectedFiles().front()).toLocal8Bit().toStdString();
        }
    }
    // A new name typed without an extension gets the filter's, or the load dialog would not
    // list the file saved under it; an existing file or directory chosen as it is stays so.
    std::string f = filter ? filter : "";
    if (buttonKind != VAL_LOAD_BUTTON && !chosen.empty() && f.size() > 2 && f.starts_with("*.") &&
        f.find_first_of(";* ", 1) == std::string::npos &&
        !QFileInfo::exists(QString::fromLocal8Bit(chosen.c_str()))) {
        std::size_t name = chosen.find_last_of("/\\");
        name = name == std::string::npos ? 0 : name + 1;
        if (name < chosen.size() && chosen.find('.', name) == std::string::npos) {
            chosen += f.substr(1);
        }
    }
    // On cancel the caller's path buffer keeps what it held.
    if (chosen.empty() || chosen.size() >= MAX_PATHNAME_LEN) {
        return VAL_NO_FILE_SELECTED; // a path that does not fit is refused, never cut
    }
    std::memcpy(pathName, chosen.c_str(), chosen.size() + 1);
    return QFileInfo::exists(QString::fromLocal8Bit(chosen.c_str())) ? VAL_EXISTING_FILE_SELECTED
                                                                     : VAL_NEW_FILE_SELECTED;
}

int GetProjectDir(char directory[MAX_PATHNAME_LEN]) {
    if (!directory) {
        return -1;
    }
    if (g_projectDir.size() >= MAX_PATHNAME_LEN) {
        directory[0] = '\0';
        return -1;
    }
    std::memcpy(directory, g_projectDir.c_str(), g_projectDir.size() + 1);
    return 0;
}

void SetProjectDir(const char* directory) {
    g_projectDir = directory ? directory : ".";
}

int MakePathname(const char* directory, const char* fileName, char pathName[MAX_PATHNAME_LEN]) {
    if (!pathName) {
        return -1;
    }
    std::string d = directory ? directory : "";
    std::string path = d.empty() ? std::string(fileName ? fileName : "")
                                 : QDir(QString::fromLocal8Bit(d.c_str()))
                                       .filePath(QString::fromLocal8Bit(fileName ? fileName : ""))
                                       .toLocal8Bit()
                                       .toStdString();
    if (path.size() >= MAX_PATHNAME_LEN) {
        pathName[0] = '\0';
        return -1;
    }
    std::memcpy(pathName, path.c_str(), path.size() + 1);
    return 0;
}

int ModalDialogOpen() {
    return QApplication::activeModalWidget() != nullptr ? 1 : 0;
}
