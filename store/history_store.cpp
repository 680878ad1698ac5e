// One JSON document, replaced whole through the atomic writer: a crash or a full disk leaves
// the last complete history, never half an entry. At a thousand entries of about 300 bytes a
// rewrite per entry costs a few milliseconds, which an operator's Send or Get never notices;
// appended lines would need their own repair and compaction for no gain at that size.
#include "history_store.h"

#include "textfile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace {
constexpr const char* kFormat = "zel-vavod history";
constexpr int kLockWaitMs = 2000;
constexpr qsizetype kMaxText = 4096; // device names, file paths, firmware texts
constexpr long long kMaxId = kMaxHistoryId;

// The highest id a damaged history shows ("id" or "next_id" followed by digits), so a new
// history goes on above it and no id is given twice.
long long HighestIdIn(const QByteArray& text) { // the bytes as the file holds them
    long long highest = 0;
    for (const char* key : {"\"id\":", "\"next_id\":"}) {
        const qsizetype keyLen = static_cast<qsizetype>(std::strlen(key));
        for (qsizetype at = text.indexOf(key); at >= 0; at = text.indexOf(key, at + keyLen)) {
            long long v = 0;
            qsizetype i = at + keyLen;
            for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && v <= kMaxId; ++i) {
                v = v * 10 + (text[i] - '0');
            }
            if (v <= kMaxId) {
                highest = std::max(highest, std::string_view(key) == "\"next_id\":" ? v - 1 : v);
            }
        }
    }
    return highest;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

std::string LocalIso(std::int64_t unixTime) {
    QDateTime t = QDateTime::fromSecsSinceEpoch(unixTime);
    return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

std::string FileName(const std::string& path) {
    return QFileInfo(Q(path)).fileName().toStdString();
}

bool WholeIn(const QJsonValue& v, double min, double max, long long& out) {
    if (!v.isDouble()) {
        return false;
    }
    double d = v.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < min || d > max) {
        return false;
    }
    out = static_cast<long long>(d);
    return true;
}

bool TextIn(const QJsonValue& v, std::string& out, bool nullable) {
    if (nullable && v.isNull()) {
        out.clear();
        return true;
    }
    if (!v.isString() || v.toString().size() > kMaxText) {
        return false;
    }
    out = v.toString().toStdString();
    return true;
}

// One entry, checked field by field; `why` names the first that is wrong.
bool ParseEntry(const QJsonValue& value, long long previousId, HistoryRecord& r, std::string& why) {
    if (!value.isObject()) {
        why = "an entry is not an object";
        return false;
    }
    const QJsonObject o = value.toObject();
    long long n = 0;
    auto fail = [&](const char* field) {
        why = "entry " + std::to_string(r.id) + ": bad \"" + field + "\"";
        return false;
    };
    if (!WholeIn(o["id"], 1, 9007199254740991.0, r.id) || r.id <= previousId) {
        why = "an entry's id is missing or not increasing";
        return false;
    }
    if (!WholeIn(o["unix"], 0, 253402300799.0, n)) {
        return fail("unix");
    }
    r.unixTime = n;
    if (!TextIn(o["time"], r.time, false)) {
        return fail("time");
    }
    if (!WholeIn(o["port"], 0, 255, n)) {
        return fail("port");
    }
    r.port = static_cast<int>(n);
    if (!TextIn(o["device"], r.device, false)) {
        return fail("device");
    }
    if (o["hardware"].isNull()) {
        r.hardware = -1;
    } else if (WholeIn(o["hardware"], 0, 65535, n)) {
        r.hardware = static_cast<int>(n);
    } else {
        return fail("hardware");
    }
    if (!TextIn(o["firmware"], r.firmware, true)) {
        return fail("firmware");
    }
    if (!TextIn(o["direction"], r.direction, false) ||
        (r.direction != "got" && r.direction != "sent" && r.direction != "loaded" &&
         r.direction != "saved")) {
        return fail("direction");
    }
    if (!TextIn(o["memory"], r.memory, false) ||
        (r.memory != "ram" && r.memory != "eeprom" && r.memory != "file")) {
        return fail("memory");
    }
    if (!TextIn(o["file"], r.file, true) || (r.memory == "file") == r.file.empty()) {
        return fail("file");
    }
    if (!WholeIn(o["block"], 0, 1, n)) {
        return fail("block");
    }
    r.block = static_cast<int>(n);
    const QJsonArray words = o["words"].toArray();
    if (!o["words"].isArray() || words.size() != static_cast<qsizetype>(r.words.size())) {
        return fail("words");
    }
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (!WholeIn(words[i], 0, 65535, n)) {
            return fail("words");
        }
        r.words[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(n);
    }
    return true;
}

// Parses a whole document; false with the reason when it is not a history this program reads.
bool ParseHistory(const QByteArray& text, HistoryFile& h, std::string& why) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        why = "not JSON (" + error.errorString().toStdString() + " at byte " +
              std::to_string(error.offset) + ")";
        return false;
    }
    const QJsonObject o = doc.object();
    long long version = 0;
    if (!doc.isObject() || o["format"].toString() != kFormat ||
        !WholeIn(o["version"], 1, 1e9, version)) {
        why = "not a history of this program";
        return false;
    }
    if (version > kHistoryVersion) {
        why = "written by a later version (" + std::to_string(version) + ")";
        return false;
    }
    if (!WholeIn(o["next_id"], 1, 9007199254740991.0, h.nextId) || !o["entries"].isArray()) {
        why = "no next id or no entries";
        return false;
    }
    long long last = 0;
    for (const QJsonValue& v : o["entries"].toArray()) {
        HistoryRecord r;
        if (!ParseEntry(v, last, r, why)) {
            return false;
        }
        last = r.id;
        h.records.push_back(std::move(r));
    }
    if (last >= h.nextId) {
        why = "an entry's id is not below the next id";
        return false;
    }
    return true;
}

QByteArray EntryJson(const HistoryRecord& r) {
    QJsonArray words;
    for (std::uint16_t w : r.words) {
        words.append(static_cast<int>(w));
    }
    QJsonObject o;
    o["id"] = static_cast<double>(r.id);
    o["unix"] = static_cast<double>(r.unixTime);
    o["time"] = Q(r.time);
    o["port"] = r.port;
    o["device"] = Q(r.device);
    o["hardware"] = r.hardware < 0 ? QJsonValue() : QJsonValue(r.hardware);
    o["firmware"] = r.firmware.empty() ? QJsonValue() : QJsonValue(Q(r.firmware));
    o["direction"] = Q(r.direction);
    o["memory"] = Q(r.memory);
    o["file"] = r.file.empty() ? QJsonValue() : QJsonValue(Q(r.file));
    o["block"] = r.block;
    o["words"] = words;
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// One entry a line, so the file reads well in a text editor and greps by id.
std::string DocumentText(const HistoryFile& h) {
    QByteArray text = QByteArray("{\"format\":\"") + kFormat +
                      "\",\"version\":" + QByteArray::number(kHistoryVersion) +
                      ",\"next_id\":" + QByteArray::number(h.nextId) + ",\"entries\":[\n";
    for (std::size_t i = 0; i < h.records.size(); ++i) {
        text += EntryJson(h.records[i]);
        text += i + 1 < h.records.size() ? ",\n" : "\n";
    }
    text += "]}\n";
    return text.toStdString();
}

// A damaged file goes aside under a name of its own, so nothing in it is lost; the new history
// starts above every id it held, and says so in its file at once.
void SetAside(const std::string& path, const std::string& why, const QByteArray& text,
              HistoryFile& h) {
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString aside = Q(path) + ".damaged-" + stamp;
    for (int n = 2; QFileInfo::exists(aside) && n < 100; ++n) {
        aside = Q(path) + ".damaged-" + stamp + "-" + QString::number(n);
    }
    QFile file(Q(path));
    if (!file.rename(aside)) {
        h.error = path + " is damaged (" + why +
                  ") and cannot be set aside: " + file.errorString().toStdString();
        return;
    }
    h.notice = path + " is damaged (" + why + "): set aside as " +
               QFileInfo(aside).fileName().toStdString() + "; a new history is started";
    h.nextId = std::min(kMaxId, HighestIdIn(text) + 1);
    if (h.nextId > 1) {
        WriteFileAtomic(path, DocumentText(h)); // failing, the next append writes it
    }
}

// Reads under the lock the caller holds.
HistoryFile ReadLocked(const std::string& path) {
    HistoryFile h;
    const QFileInfo info(Q(path));
    if (!info.exists()) {
        return h;
    }
    if (!info.isFile()) {
        // A FIFO or a device there would hold the program, or feed it without end.
        h.error = path + ": not a regular file";
        return h;
    }
    std::string why;
    QByteArray text;
    QFile file(Q(path));
    if (info.size() > static_cast<qint64>(kMaxHistoryBytes)) {
        why = "larger than " + std::to_string(kMaxHistoryBytes / 1024) + " KiB";
        // Its newest ids are at its end.
        if (file.open(QIODevice::ReadOnly) && file.seek(info.size() - kMaxHistoryBytes)) {
            text = file.read(static_cast<qint64>(kMaxHistoryBytes));
        }
    } else if (!file.open(QIODevice::ReadOnly)) {
        h.error = path + ": cannot be read (" + file.errorString().toStdString() + ")";
        return h;
    } else {
        text = file.read(static_cast<qint64>(kMaxHistoryBytes) + 1);
        if (file.error() != QFileDevice::NoError) {
            h.error = path + ": cannot be read (" + file.errorString().toStdString() + ")";
            return h;
        }
        if (ParseHistory(text, h, why)) {
            return h;
        }
    }
    h = HistoryFile{};
    file.close();
    SetAside(path, why, text, h);
    return h;
}

// Another process of the program (the window and the command-line tool side by side) appends
// between our read and our write only through this lock.
// Only a lock held by another process is "in use"; a lock that cannot be made at all names its
// own cause (a read-only folder, a full disk).
bool Lock(QLockFile& lock, const std::string& path, HistoryFile& h) {
    lock.setStaleLockTime(10000);
    if (lock.tryLock(kLockWaitMs)) {
        return true;
    }
    const QString dir = QFileInfo(Q(path)).absolutePath();
    switch (lock.error()) {
    case QLockFile::LockFailedError:
        h.error = path + ": in use by another program (" + FileName(path) + ".lock)";
        break;
    case QLockFile::PermissionError:
        h.error = path + ": cannot be written (permission denied in " + dir.toStdString() + ")";
        break;
    default: {
        const QStorageInfo disk(dir);
        h.error = path + ": cannot be written (" +
                  (disk.isValid() && disk.bytesAvailable() == 0
                       ? std::string("no space left on the disk")
                       : "its lock " + FileName(path) + ".lock cannot be made") +
                  ")";
        break;
    }
    }
    return false;
}
} // namespace

std::string HistoryFilePath() {
#ifdef Q_OS_WIN
    // Windows keeps a user's own data in the roaming profile, %APPDATA%.
    QString base = QDir::fromNativeSeparators(qEnvironmentVariable("APPDATA"));
    if (base.isEmpty()) {
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    }
#else
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
#endif
    if (base.isEmpty()) {
        return "history.json";
    }
    return QDir(base).filePath("zel-vavod/history.json").toStdString();
}

HistoryFile ReadHistory(const std::string& path) {
    HistoryFile h;
    if (!QFileInfo::exists(Q(path))) {
        return h;
    }
    QLockFile lock(Q(path) + ".lock");
    if (!Lock(lock, path, h)) {
        if (lock.error() == QLockFile::LockFailedError) {
            return h;
        }
        // Nobody can be writing where no lock can be made: read it as it stands, and say
        // nothing of the lock (a read-only history is still a history to show).
        h = ReadLocked(path);
        return h;
    }
    return ReadLocked(path);
}

HistoryFile AppendHistory(const std::string& path, HistoryRecord record, std::size_t limit) {
    HistoryFile h;
    const QString dir = QFileInfo(Q(path)).absolutePath();
    if (!QDir().mkpath(dir)) {
        h.error = path + ": cannot be written (no directory " + dir.toStdString() + ")";
        return h;
    }
    QLockFile lock(Q(path) + ".lock");
    if (!Lock(lock, path, h)) {
        return h;
    }
    h = ReadLocked(path);
    if (!h.error.empty()) {
        return h; // a file we cannot read is not overwritten
    }
    if (h.nextId >= kMaxId) {
        // The entry would take the last id and leave a next id no reader takes.
        h.error = path + ": cannot be written (its ids are used up; set the file aside)";
        return h;
    }
    if (record.unixTime == 0) {
        record.unixTime = QDateTime::currentSecsSinceEpoch();
    }
    record.time = LocalIso(record.unixTime);
    record.id = h.nextId++;
    h.records.push_back(std::move(record));
    if (limit > 0 && h.records.size() > limit) {
        h.records.erase(h.records.begin(),
                        h.records.begin() + static_cast<std::ptrdiff_t>(h.records.size() - limit));
    }
    std::string error;
    if (!WriteFileAtomic(path, DocumentText(h), &error)) {
        h.error = path + ": cannot be written (" + error + ")";
    }
    return h;
}

bool ParseHistoryDocument(std::string_view text, HistoryFile& h, std::string& why) {
    h = HistoryFile{};
    return ParseHistory(QByteArray(text.data(), static_cast<qsizetype>(text.size())), h, why);
}

std::string HistoryDocumentText(const HistoryFile& h) {
    return DocumentText(h);
}

long long HighestHistoryId(std::string_view text) {
    return HighestIdIn(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
}
