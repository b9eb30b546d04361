#include "State/SessionPersistence.h"

#include "Model/AIRecordsJSON.h"
#include "Model/KorvalenAILogger.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvalen {

namespace {

enum class FileState { missing, unreadable, notRegularFile, malformed, array };

// Why the main file could not be read at all, told to the user.
const char* reasonText(FileState state)
{
    return state == FileState::notRegularFile ? "not a regular file" : "read error";
}

const char* logReason(FileState state)
{
    switch (state) {
    case FileState::notRegularFile: return "not-a-file";
    case FileState::malformed: return "malformed";
    default: return "io";
    }
}

std::string text(const QString& s)
{
    return s.toStdString();
}

// What a reader of a history file needs of it: only the counts (is it whole, how many sessions),
// the identities of its sessions, the sessions, or the sessions and the text itself.
enum class Keep { counts, ids, sessions, sessionsAndText };

// What one of the two history files holds.
struct HistoryFile {
    FileState state = FileState::missing;
    QByteArray bytes;                          // the text as read, when asked for
    std::vector<AIBenchmarkSession> sessions;  // the entries that decode, in order, when asked for
    std::vector<Uuid> ids;                     // or only their identities
    std::size_t entries = 0;                   // elements of the array
    int skipped = 0;                           // elements that did not decode
    std::size_t readable() const { return entries - static_cast<std::size_t>(skipped); }
};

// Looked at before it is opened: open() of a FIFO waits for a writer, and a device may never end.
// Only "no such file" is missing: a file that is there but cannot be opened must not be replaced.
FileState readBytes(HistoryFiles& files, const QString& path, QByteArray& bytes)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FileState::missing : FileState::unreadable;
    if (!S_ISREG(st.st_mode)) return FileState::notRegularFile;
    // Without blocking, in case something else took its place since.
    const int fd = files.openToRead(name.constData());
    if (fd < 0) return errno == ENOENT ? FileState::missing : FileState::unreadable;
    FileState state = FileState::unreadable;
    QFile file;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        state = FileState::notRegularFile;
    } else if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        bytes = file.readAll();
        if (file.error() == QFileDevice::NoError) state = FileState::malformed;  // read, not yet parsed
    }
    ::close(fd);
    return state;
}

// The bytes of a regular file, read as readBytes reads them.
bool readWhole(HistoryFiles& files, const QString& path, QByteArray& bytes)
{
    return readBytes(files, path, bytes) == FileState::malformed;
}

// The first byte at or after `i` that `wanted` marks (the text's size when there is none).
std::size_t nextStructural(std::string_view text, std::size_t i, const std::array<bool, 256>& wanted)
{
    const std::size_t n = text.size();
#if defined(__SSE2__)
    // Sixteen bytes at a time: most of a history is digits between the marks.
    const __m128i quote = _mm_set1_epi8('"'), open = _mm_set1_epi8('['), close = _mm_set1_epi8(']'),
                  openBrace = _mm_set1_epi8('{'), closeBrace = _mm_set1_epi8('}'),
                  comma = wanted[static_cast<unsigned char>(',')] ? _mm_set1_epi8(',') : _mm_set1_epi8('"');
    constexpr std::size_t lanes = sizeof(__m128i);
    for (; i + lanes <= n; i += lanes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, comma)),
                                                       _mm_or_si128(_mm_cmpeq_epi8(v, open), _mm_cmpeq_epi8(v, close))),
                                          _mm_or_si128(_mm_cmpeq_epi8(v, openBrace), _mm_cmpeq_epi8(v, closeBrace)));
        if (const int mask = _mm_movemask_epi8(hits))
            return i + static_cast<std::size_t>(__builtin_ctz(unsigned(mask)));
    }
#endif
    while (i < n && !wanted[static_cast<unsigned char>(text[i])]) ++i;
    return i;
}

// The elements of a top-level JSON array, found without parsing them: the text between the
// brackets, cut at the commas outside strings and nested values. Nothing when the text is not
// shaped as an array. Whether each element is JSON is the parser's to say: when every element
// parses, the text is exactly '[' element (',' element)* ']' and so parses as that array.
std::optional<std::vector<std::string_view>> arrayElements(std::string_view text)
{
    // Inside an element only quotes and brackets matter; commas only between elements.
    auto table = [](std::string_view set) {
        std::array<bool, 256> table{};
        for (unsigned char c : set) table[c] = true;
        return table;
    };
    static const std::array<bool, 256> inside = table("\"[]{}"), between = table("\"[]{},");
    // The parser reads a NUL outside a string as the end of its input and refuses one inside a
    // string: what it reads of a text ends at the first NUL, and so does the array here. No
    // element holds a NUL then, which would end its own parse early.
    text = text.substr(0, text.find('\0'));
    const std::size_t n = text.size();
    auto skipSpace = [&](std::size_t from) { return std::min(text.find_first_not_of(" \t\n\r", from), n); };
    std::size_t i = 0;
    // The parser skips a byte-order mark at the very start of its input, and nowhere else.
    if (text.starts_with("\xEF\xBB\xBF")) i = 3;
    i = skipSpace(i);
    if (i == n || text[i] != '[') return std::nullopt;
    ++i;
    std::vector<std::string_view> elements;
    std::size_t start = i;
    i = skipSpace(i);
    bool closed = i < n && text[i] == ']';
    if (closed) ++i;
    std::size_t depth = 0;
    while (!closed && i < n) {
        i = nextStructural(text, i, depth == 0 ? between : inside);
        if (i == n) break;
        switch (text[i]) {
        case '"':
            for (++i; i < n && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
            break;
        case '[':
        case '{': ++depth; break;
        case ',':
            if (depth == 0) {
                elements.push_back(text.substr(start, i - start));
                start = i + 1;
            }
            break;
        default:
            if (depth > 0) {
                --depth;
            } else if (text[i] == ']') {
                elements.push_back(text.substr(start, i - start));
                closed = true;
            } else {
                return std::nullopt;
            }
        }
        ++i;
    }
    i = skipSpace(i);
    if (!closed || i != n) return std::nullopt;
    return elements;
}

struct Entry {
    std::optional<AIBenchmarkSession> session;
    std::optional<Uuid> id;
    std::string failure;  // why it did not decode
    bool decoded = false;
};

// Parses and decodes each element on its own, several at a time: parsing is most of the cost of a
// large history. One session that does not decode costs only itself; one element that is not JSON
// makes the whole text malformed, as parsing it whole would.
bool decodeElements(std::span<const std::string_view> elements, std::size_t firstIndex, Keep keep,
                    std::vector<Entry>& entries)
{
    entries.assign(elements.size(), Entry{});
    std::atomic<std::size_t> next{0};
    std::atomic<bool> malformed{false};
    auto work = [&] {
        for (std::size_t i = next++; i < elements.size() && !malformed; i = next++) {
            const std::string_view element = elements[i];
            // A byte-order mark is skipped at the start of a parse, but inside an array it is an error.
            nlohmann::json json;
            try {
                if (!element.starts_with('\xEF'))
                    json = nlohmann::json::parse(element.begin(), element.end(), nullptr, false);
            } catch (...) {
                json = nlohmann::json::value_t::discarded;
            }
            if (element.starts_with('\xEF') || json.is_discarded()) {
                malformed = true;
                break;
            }
            Entry& entry = entries[i];
            try {
                AIBenchmarkSession session = sessionFromJSON(json, "[" + std::to_string(firstIndex + i) + "]");
                if (keep == Keep::ids)
                    entry.id = session.id;
                else if (keep != Keep::counts)
                    entry.session = std::move(session);
                entry.decoded = true;
            } catch (const std::exception& e) {
                entry.failure = e.what();
            }
        }
    };
    // The elements are consecutive slices of one text.
    const auto bytes =
        static_cast<std::size_t>(elements.back().data() + elements.back().size() - elements.front().data());
    // A thread per few megabytes (a small history is read on the calling thread alone), and one
    // processor left to the window, which starts meanwhile.
    // The processor count is read once: each reading opens a file of the system.
    static const std::size_t processors = std::max(2u, std::thread::hardware_concurrency());
    const std::size_t threads = std::min<std::size_t>({elements.size(), processors - 1, 1 + bytes / (4u << 20)});
    {
        std::vector<std::jthread> helpers;
        try {
            for (std::size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
        } catch (const std::system_error&) {
            // Fewer helpers: the calling thread reads what they would have.
        }
        work();
    }
    return !malformed;
}

struct DecodedText {
    std::size_t entries = 0;
    std::vector<AIBenchmarkSession> sessions;
    std::vector<Uuid> ids;
    int skipped = 0;
};

// Nothing when the text is not a JSON array. `skippedAt` hears of each element that did not decode.
template <typename Skipped>
std::optional<DecodedText> decodeText(std::string_view text, Keep keep, Skipped&& skippedAt)
{
    const auto elements = arrayElements(text);
    if (!elements) return std::nullopt;
    DecodedText decoded;
    decoded.entries = elements->size();
    // In batches, so that a text of millions of tiny elements holds the results of a few at a time.
    constexpr std::size_t batch = 4096;
    std::vector<Entry> entries;
    for (std::size_t first = 0; first < elements->size(); first += batch) {
        const std::span<const std::string_view> part(elements->data() + first,
                                                     std::min(batch, elements->size() - first));
        if (!decodeElements(part, first, keep, entries)) return std::nullopt;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].decoded) {
                if (entries[i].session) decoded.sessions.push_back(std::move(*entries[i].session));
                if (entries[i].id) decoded.ids.push_back(*entries[i].id);
                continue;
            }
            ++decoded.skipped;
            skippedAt(first + i, entries[i].failure);
        }
    }
    return decoded;
}

HistoryFile readHistory(HistoryFiles& files, const QString& path, Keep keep)
{
    HistoryFile file;
    file.state = readBytes(files, path, file.bytes);
    if (file.state == FileState::malformed) {
        auto skippedAt = [&](std::size_t index, const std::string& failure) {
            KorvalenAILogger::warning("HISTORY_SESSION_SKIPPED file=" + text(QFileInfo(path).fileName()) +
                                      " index=" + std::to_string(index) + " reason=" + failure);
        };
        if (auto decoded =
                decodeText(std::string_view(file.bytes.constData(), std::size_t(file.bytes.size())), keep, skippedAt)) {
            file.state = FileState::array;
            file.entries = decoded->entries;
            file.sessions = std::move(decoded->sessions);
            file.ids = std::move(decoded->ids);
            file.skipped = decoded->skipped;
        }
    }
    if (file.state != FileState::array && file.state != FileState::missing)
        KorvalenAILogger::error("HISTORY_UNREADABLE file=" + text(path) + " reason=" + logReason(file.state));
    if (keep != Keep::sessionsAndText) file.bytes = QByteArray();
    return file;
}

// A name that became a link to the same file is not the file it was: what a save may do with it
// differs (see replaceBackupWithMain).
std::optional<SessionPersistence::FileIdentity> identityOf(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat entry {};
    struct stat st {};
    if (::lstat(name.constData(), &entry) != 0 || ::stat(name.constData(), &st) != 0) return std::nullopt;
    return SessionPersistence::FileIdentity{
        static_cast<std::uint64_t>(st.st_dev),         static_cast<std::uint64_t>(st.st_ino),
        static_cast<std::int64_t>(st.st_size),         static_cast<std::int64_t>(st.st_mtim.tv_sec),
        static_cast<std::int64_t>(st.st_mtim.tv_nsec), S_ISLNK(entry.st_mode)};
}

bool isSymbolicLink(const QString& path)
{
    struct stat entry {};
    return ::lstat(QFile::encodeName(path).constData(), &entry) == 0 && S_ISLNK(entry.st_mode);
}

// Whether `name` is itself a regular file, the very one `path` leads to.
bool isTheFileAt(const QString& name, const QString& path)
{
    struct stat entry {};
    struct stat st {};
    return ::lstat(QFile::encodeName(name).constData(), &entry) == 0 && S_ISREG(entry.st_mode) &&
           ::stat(QFile::encodeName(path).constData(), &st) == 0 && entry.st_dev == st.st_dev &&
           entry.st_ino == st.st_ino;
}

QByteArray encoded(const QString& path)
{
    return QFile::encodeName(path);
}

// Without it a rename that was reported done may not survive a crash: worth a line in the log.
void syncFolder(HistoryFiles& files, const QString& folder)
{
    if (files.syncFolder(encoded(folder).constData()) != 0)
        KorvalenAILogger::warning("HISTORY_FOLDER_SYNC_FAILED path=" + text(folder) +
                                  " reason=" + std::strerror(errno));
}

const char* temporaryMarker = ".tmp-";

// Hidden, beside the target (a rename must not cross file systems), unique within the process.
QString temporaryPathFor(const QString& path)
{
    static std::atomic<unsigned> counter;
    const QFileInfo info(path);
    return info.absolutePath() + "/." + info.fileName() + temporaryMarker + QString::number(::getpid()) + "-" +
           QString::number(counter.fetch_add(1));
}

// A new file at `temporary`, written in full and flushed to disk; nothing is left there when it
// cannot be.
bool writeTemporary(HistoryFiles& files, const QByteArray& temporary, const char* data, std::size_t size)
{
    const int fd = files.create(temporary.constData());
    if (fd < 0) return false;
    bool ok = true;
    while (size > 0) {
        const ssize_t written = files.write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    if (ok && files.flush(fd) != 0) ok = false;
    if (files.close(fd) != 0) ok = false;
    if (!ok) files.remove(temporary.constData());
    return ok;
}

bool writeTemporary(HistoryFiles& files, const QByteArray& temporary, const QByteArray& bytes)
{
    return writeTemporary(files, temporary, bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// Renamed into place only once whole on disk: a crash at any point leaves the old file or the
// new one, whole.
bool writeAtomically(HistoryFiles& files, const QString& path, const QByteArray& bytes)
{
    const QByteArray temporary = encoded(temporaryPathFor(path));
    if (!writeTemporary(files, temporary, bytes)) return false;
    if (files.rename(temporary.constData(), encoded(path).constData()) != 0) {
        files.remove(temporary.constData());
        return false;
    }
    syncFolder(files, QFileInfo(path).absolutePath());
    return true;
}

// Whether `candidate` is a copy of the file at `path` that was set aside earlier: a regular file of
// its own with the same bytes. A link, or another name of the same file, is no copy: removing
// `path` because of it would lose the only one.
bool isSeparateCopy(const QString& candidate, const QString& path)
{
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
    const int a = ::open(encoded(candidate).constData(), flags | O_NOFOLLOW);
    const int b = ::open(encoded(path).constData(), flags);
    struct stat sa {};
    struct stat sb {};
    // A descriptor that did not open fails fstat, and close(-1) does nothing.
    bool same = ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && S_ISREG(sa.st_mode) && S_ISREG(sb.st_mode) &&
                (sa.st_dev != sb.st_dev || sa.st_ino != sb.st_ino) && sa.st_size == sb.st_size;
    QFile fa, fb;
    if (same && fa.open(a, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) &&
        fb.open(b, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        constexpr qint64 chunk = 1 << 20;
        while (same && !fa.atEnd()) {
            const QByteArray x = fa.read(chunk), y = fb.read(chunk);
            same = !x.isEmpty() && x == y;
        }
        same = same && fb.atEnd();
    } else {
        same = false;
    }
    ::close(a);
    ::close(b);
    return same;
}

// Taken by anything, a dangling link included: a name that cannot be looked at counts as taken.
bool nameTaken(const QString& path)
{
    struct stat st {};
    return ::lstat(encoded(path).constData(), &st) == 0 || errno != ENOENT;
}

}  // namespace

QString SessionPersistence::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Korvalen AI";
}

SessionPersistence::SessionPersistence(QString folder, std::shared_ptr<HistoryFiles> files)
    : folder_(std::move(folder)), files_(files ? std::move(files) : std::make_shared<HistoryFiles>())
{}

std::optional<SessionPersistence::TextReading> SessionPersistence::readText(std::string_view text)
{
    auto decoded = decodeText(text, Keep::sessions, [](std::size_t, const std::string&) {});
    if (!decoded) return std::nullopt;
    return TextReading{std::move(decoded->sessions), decoded->skipped};
}

QString SessionPersistence::historyPath() const
{
    return folder_ + "/history.json";
}
QString SessionPersistence::backupPath() const
{
    return folder_ + "/history.backup.json";
}
QString SessionPersistence::corruptPath() const
{
    return folder_ + "/history.corrupt.json";
}

bool SessionPersistence::isKnown(const KnownFile& known, const QString& path, Known what) const
{
    return known.what == what && identityOf(path) == known.identity;
}

QString SessionPersistence::quarantine(const QString& path, Aside how)
{
    const bool keepOriginal = how != Aside::move, changed = how == Aside::changedCopy;
    // A file that reads whole is not corrupt: it is named for what it is.
    const QString prefix = changed ? "history.changed" : "history.corrupt";
    // A file that stays unreadable is seen at every launch until a save replaces it: the same
    // content is kept aside once.
    const QString name = QFileInfo(path).fileName();
    const QStringList earlier =
        QDir(folder_).entryList({prefix + "*.json"}, QDir::Files | QDir::System | QDir::Hidden, QDir::Name);
    for (const QString& candidateName : earlier) {
        const QString candidate = folder_ + "/" + candidateName;
        if (!isSeparateCopy(candidate, path)) continue;
        if (!keepOriginal && files_->remove(encoded(path).constData()) != 0) {
            KorvalenAILogger::error("HISTORY_QUARANTINE_FAILED file=" + text(path) + " reason=remove");
            return {};
        }
        KorvalenAILogger::info("HISTORY_ALREADY_QUARANTINED file=" + text(name) + " target=" + text(candidate));
        return candidate;
    }

    // An earlier quarantined file is evidence too: never replace it, take a dated name instead. A
    // changed file always has one: another program may change it again.
    QString target = folder_ + "/" + prefix + ".json";
    if (changed || nameTaken(target)) {
        const QString stamp = QDateTime::currentDateTimeUtc().toString("yyyyMMdd-HHmmss-zzz");
        target = folder_ + "/" + prefix + "-" + stamp + ".json";
        for (int n = 2; nameTaken(target); ++n)
            target = folder_ + "/" + prefix + "-" + stamp + "-" + QString::fromStdString(std::to_string(n)) + ".json";
    }
    // A move is one rename of the entry, whatever it is; a copy is written whole before it is named.
    QByteArray bytes;
    const bool done = keepOriginal ? readWhole(*files_, path, bytes) && writeAtomically(*files_, target, bytes)
                                   : files_->rename(encoded(path).constData(), encoded(target).constData()) == 0;
    if (!done) {
        KorvalenAILogger::error("HISTORY_QUARANTINE_FAILED file=" + text(path) + " target=" + text(target));
        return {};
    }
    KorvalenAILogger::warning("HISTORY_QUARANTINED file=" + text(name) + " target=" + text(target) +
                              (keepOriginal ? " mode=copy" : " mode=move"));
    return target;
}

SessionPersistence::LoadReport SessionPersistence::loadReport()
{
    std::lock_guard lock(mutex_);
    LoadReport report;
    main_ = {};
    backup_ = {};

    // One instance owns the folder: a temporary file here is what a killed save left behind.
    const QStringList leftovers =
        QDir(folder_).entryList({QString(".history*") + temporaryMarker + "*"}, QDir::Files | QDir::Hidden);
    for (const QString& name : leftovers) files_->remove(encoded(folder_ + "/" + name).constData());

    const QString path = historyPath();
    HistoryFile main = readHistory(*files_, path, Keep::sessions);
    if (main.state == FileState::array && main.skipped == 0) {
        main_ = {Known::good, identityOf(path).value_or(FileIdentity{}), main.entries};
        report.sessions = std::move(main.sessions);
    } else if (main.state == FileState::unreadable || main.state == FileState::notRegularFile) {
        report.unreadable = reasonText(main.state);
    }

    if (main_.what != Known::good) {
        // The main file is missing or not whole: the backup may hold more of the history.
        const QString backupPath = this->backupPath();
        // Its text restores a malformed main file.
        HistoryFile backup = readHistory(*files_, backupPath, Keep::sessionsAndText);
        if (backup.state == FileState::malformed) report.backupQuarantinedTo = quarantine(backupPath, Aside::move);
        // A missing main file counts as one without sessions: an empty backup restores nothing.
        const bool useBackup =
            backup.state == FileState::array &&
            (main.state == FileState::array ? backup.readable() > main.readable() : backup.entries > 0);

        // Whatever is shown, the main file's content is kept before anything can write over it.
        if (main.state == FileState::malformed) {
            report.quarantinedTo = quarantine(path, Aside::move);
        } else if (main.state == FileState::array) {
            report.quarantinedTo = quarantine(path, Aside::copy);
            if (!report.quarantinedTo.isEmpty())
                main_ = {Known::keptAside, identityOf(path).value_or(FileIdentity{}), main.entries};
        }

        if (useBackup) {
            report.sessions = std::move(backup.sessions);
            report.skippedSessions = backup.skipped;
            report.fromBackup = true;
            report.mainMissing = main.state == FileState::missing;
            if (backup.skipped == 0)
                backup_ = {Known::good, identityOf(backupPath).value_or(FileIdentity{}), backup.entries};
            KorvalenAILogger::warning("HISTORY_RESTORED_FROM_BACKUP sessions=" +
                                      std::to_string(report.sessions.size()));
            // Put the restored history back in place, or the next launch would find no file and
            // show an empty history although the backup is still there. The next save looks at
            // the restored file before it may become the backup.
            if (main.state == FileState::malformed && !report.quarantinedTo.isEmpty() &&
                !writeAtomically(*files_, path, backup.bytes))
                KorvalenAILogger::warning("HISTORY_RESTORE_WRITE_FAILED path=" + text(path));
        } else if (main.state == FileState::array) {
            report.sessions = std::move(main.sessions);
            report.skippedSessions = main.skipped;
        }
    }

    if (report.sessions.size() > static_cast<std::size_t>(historyLimit)) report.sessions.resize(historyLimit);
    // Parsing a large history leaves most of its memory free but held in the threads' arenas.
    ::malloc_trim(0);
    KorvalenAILogger::info("HISTORY_LOADED sessions=" + std::to_string(report.sessions.size()) +
                           " skipped=" + std::to_string(report.skippedSessions));
    return report;
}

bool SessionPersistence::putBackupAsideIfNeeded(QString& setAsideTo)
{
    const QString path = backupPath();
    // A link to nothing, or to itself, holds nothing: it is simply replaced.
    if (!QFileInfo::exists(path) || isKnown(backup_, path, Known::good)) return true;
    const HistoryFile backup = readHistory(*files_, path, Keep::counts);
    if (backup.state == FileState::array && backup.skipped == 0) {
        backup_ = {Known::good, identityOf(path).value_or(FileIdentity{}), backup.entries};
        return true;
    }
    // Not something a file can be written over safely: left as it is, and no backup is made.
    if (backup.state == FileState::notRegularFile) return false;
    // Not readable in full: it may be all that is left of older runs.
    setAsideTo = quarantine(path, Aside::move);
    return !setAsideTo.isEmpty();
}

bool SessionPersistence::replaceBackupWithMain(BackupChange& change)
{
    const QString main = historyPath(), backup = backupPath();
    // The main name leads to the backup file itself (a link, or a second name): it already holds
    // what the main name shows, and the new file takes only the main name.
    if (isTheFileAt(backup, main)) return true;

    const QByteArray backupName = encoded(backup);
    const QByteArray temporary = encoded(temporaryPathFor(backup));
    // A second name for the current file costs no copy. link(2) of a symbolic link would link the
    // link itself, which may name the backup, its own name: what a link names is copied instead.
    bool made = !isSymbolicLink(main) && files_->link(encoded(main).constData(), temporary.constData()) == 0;
    if (!made) {
        // Also a file system without hard links.
        QByteArray bytes;
        made = readWhole(*files_, main, bytes) && writeTemporary(*files_, temporary, bytes);
    }
    if (!made) return false;

    // Whatever the backup name holds, a link included, stays under a hidden name until the new
    // history is in place, to be put back exactly if it cannot be.
    QByteArray previous;
    bool moved = false;
    if (nameTaken(backup)) {
        previous = encoded(temporaryPathFor(backup));
        if (files_->link(backupName.constData(), previous.constData()) != 0) {
            moved = files_->rename(backupName.constData(), previous.constData()) == 0;
            if (!moved) {
                files_->remove(temporary.constData());
                return false;
            }
        }
    }
    if (files_->rename(temporary.constData(), backupName.constData()) != 0) {
        files_->remove(temporary.constData());
        if (moved)
            files_->rename(previous.constData(), backupName.constData());
        else if (!previous.isEmpty())
            files_->remove(previous.constData());
        return false;
    }
    syncFolder(*files_, folder_);
    change = {true, previous, backup_};
    backup_ = {Known::good, identityOf(backup).value_or(FileIdentity{}), main_.sessions};
    return true;
}

void SessionPersistence::undoBackup(const BackupChange& change)
{
    if (!change.made) return;
    const QByteArray backup = encoded(backupPath());
    // The main file still holds what the backup was made from.
    const bool undone = change.previous.isEmpty()
                            ? files_->remove(backup.constData()) == 0
                            : files_->rename(change.previous.constData(), backup.constData()) == 0;
    if (!undone) {
        if (!change.previous.isEmpty()) files_->remove(change.previous.constData());
        KorvalenAILogger::warning("HISTORY_BACKUP_FAILED path=" + text(backupPath()));
        backup_ = {};
        return;
    }
    if (!change.previous.isEmpty()) syncFolder(*files_, folder_);
    backup_ = change.known;
}

SessionPersistence::SaveReport SessionPersistence::saveReport(const std::vector<AIBenchmarkSession>& sessions)
{
    std::lock_guard lock(mutex_);
    SaveReport report;
    if (!QDir().mkpath(folder_)) {
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=folder path=" + text(folder_));
        return report;
    }

    std::string json;
    try {
        json = toJSON(sessions).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& e) {
        KorvalenAILogger::error(std::string("HISTORY_SAVE_FAILED reason=encode detail=") + e.what());
        return report;
    }

    const QString path = historyPath();
    // What is in place, looked at before anything changes; set aside only once the new file is whole.
    std::optional<Aside> setAside;
    std::size_t entries = 0;
    if (!isKnown(main_, path, Known::good) && !isKnown(main_, path, Known::keptAside)) {
        // Not known from loading or the last save, or changed on disk since: look at it now.
        const HistoryFile current = readHistory(*files_, path, Keep::ids);
        entries = current.entries;
        switch (current.state) {
        case FileState::missing: main_ = {}; break;
        case FileState::array: {
            // Another program may have put runs there that the window never showed: the new
            // history would drop them, and the backup keeps a file only until the next save.
            const auto notShown = std::count_if(current.ids.begin(), current.ids.end(), [&](const Uuid& id) {
                return std::none_of(sessions.begin(), sessions.end(),
                                    [&](const AIBenchmarkSession& shown) { return shown.id == id; });
            });
            if (current.skipped == 0 && notShown == 0) {
                main_ = {Known::good, identityOf(path).value_or(FileIdentity{}), current.entries};
                break;
            }
            if (current.skipped == 0)
                KorvalenAILogger::warning("HISTORY_CHANGED_ON_DISK sessions_not_shown=" + std::to_string(notShown));
            setAside = current.skipped == 0 ? Aside::changedCopy : Aside::copy;
            break;
        }
        case FileState::malformed:
            // Never write over a file that could not be read: it may be all that is left of the history.
            setAside = Aside::move;
            break;
        case FileState::unreadable:
            KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=unreadable-file-in-place");
            return report;
        case FileState::notRegularFile:
            // A FIFO, a device or a folder in its place is someone's: it is neither written nor moved.
            KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=not-a-file-in-place path=" + text(path));
            return report;
        }
    }

    // The new history is whole on disk before anything in the folder changes: a save that fails
    // leaves the folder as it was.
    const QByteArray temporary = encoded(temporaryPathFor(path));
    if (!writeTemporary(*files_, temporary, json.data(), json.size())) {
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=write path=" + text(path));
        return report;
    }

    if (setAside) {
        const QString keptAs = quarantine(path, *setAside);
        if (keptAs.isEmpty()) {
            files_->remove(temporary.constData());
            KorvalenAILogger::error(*setAside == Aside::changedCopy ? "HISTORY_SAVE_FAILED reason=changed-file-in-place"
                                    : *setAside == Aside::copy
                                        ? "HISTORY_SAVE_FAILED reason=unreadable-sessions-in-place"
                                        : "HISTORY_SAVE_FAILED reason=unreadable-file-in-place");
            return report;
        }
        (*setAside == Aside::changedCopy ? report.changedKeptAs : report.quarantinedTo) = keptAs;
        main_ = *setAside != Aside::move
                    ? KnownFile{Known::keptAside, identityOf(path).value_or(FileIdentity{}), entries}
                    : KnownFile{};
    }

    // Only a file whose every session reads back becomes the backup, and never in place of one
    // that reads more sessions.
    BackupChange backupChange;
    if (main_.what == Known::good) {
        if (!putBackupAsideIfNeeded(report.backupQuarantinedTo))
            KorvalenAILogger::warning("HISTORY_BACKUP_SKIPPED reason=unreadable-backup-in-place");
        else if (backup_.what == Known::good && backup_.sessions > main_.sessions)
            KorvalenAILogger::info("HISTORY_BACKUP_KEPT sessions=" + std::to_string(backup_.sessions) +
                                   " current=" + std::to_string(main_.sessions));
        else if (!replaceBackupWithMain(backupChange))
            KorvalenAILogger::warning("HISTORY_BACKUP_FAILED path=" + text(backupPath()));
    }

    if (files_->rename(temporary.constData(), encoded(path).constData()) != 0) {
        files_->remove(temporary.constData());
        undoBackup(backupChange);
        KorvalenAILogger::error("HISTORY_SAVE_FAILED reason=write path=" + text(path));
        return report;
    }
    syncFolder(*files_, folder_);
    if (!backupChange.previous.isEmpty()) files_->remove(backupChange.previous.constData());
    main_ = {Known::good, identityOf(path).value_or(FileIdentity{}), sessions.size()};
    KorvalenAILogger::info("HISTORY_SAVED sessions=" + std::to_string(sessions.size()));
    report.saved = true;
    return report;
}

}  // namespace korvalen
