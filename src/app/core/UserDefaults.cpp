#include "app/core/UserDefaults.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/AppError.h"
#include "platform/FileAccess.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

// A line longer than this holds a value over the limit whatever its
// escapes (at most four bytes each, "\xff"), and is skipped unread.
constexpr size_t kMaxLine = 4 * UserDefaults::kMaxValueBytes + 1024;

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe";
    if (S_ISSOCK(mode)) return "a socket";
    return "a device";
}

bool isHex(char32_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int hexValue(char32_t c) { return c <= '9' ? int(c - '0') : int((c | 0x20) - 'a' + 10); }

// QSettings' INI unescaping of a value (quotes, backslash escapes), giving
// its characters.
std::u32string unescaped(const std::u32string& text) {
    std::u32string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c == '"') continue;  // quotes only keep ; , = and blanks in
        if (c != '\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const char32_t e = text[++i];
        switch (e) {
            case 'a': out += U'\a'; break;
            case 'b': out += U'\b'; break;
            case 'f': out += U'\f'; break;
            case 'n': out += U'\n'; break;
            case 'r': out += U'\r'; break;
            case 't': out += U'\t'; break;
            case 'v': out += U'\v'; break;
            case 'x': {
                char32_t v = 0;
                while (i + 1 < text.size() && isHex(text[i + 1])) v = (v << 4) | char32_t(hexValue(text[++i]));
                out += v & 0xFFFF;
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    char32_t v = e - '0';
                    while (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '7')
                        v = (v << 3) | (text[++i] - '0');
                    out += v & 0xFFFF;
                } else {
                    out += e;  // \" \\ \' \? and any other character stand for themselves
                }
        }
    }
    return out;
}

std::string utf8(const std::u32string& text) { return QString::fromUcs4(text.data(), qsizetype(text.size())).toStdString(); }

// A stored value as the bytes QSettings gives for it: "@ByteArray(...)"
// holds bytes, one per character; any other text is itself, in UTF-8.
QByteArray valueBytes(const std::string& line) {
    const QString decoded = QString::fromUtf8(line.data(), qsizetype(line.size())).trimmed();
    std::u32string text = unescaped(decoded.toStdU32String());
    const std::u32string prefix = U"@ByteArray(";
    if (text.starts_with(prefix) && text.ends_with(U")")) {
        QByteArray bytes;
        bytes.reserve(qsizetype(text.size() - prefix.size() - 1));
        for (size_t i = prefix.size(); i + 1 < text.size(); ++i) bytes += text[i] <= 0xFF ? char(text[i]) : '?';
        return bytes;
    }
    if (text.starts_with(U"@@")) text.erase(0, 1);
    return QByteArray::fromStdString(utf8(text));
}

// QSettings' key escaping undone: "%XX", "%UXXXX" and "\" for "/".
QString unescapedKey(const QByteArray& raw) {
    QString key;
    const QString text = QString::fromUtf8(raw).trimmed();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\') {
            key += u'/';
        } else if (c == u'%' && i + 2 < text.size() && text[i + 1] == u'U' && i + 5 < text.size()) {
            key += QChar(text.mid(i + 2, 4).toUShort(nullptr, 16));
            i += 5;
        } else if (c == u'%' && i + 2 < text.size()) {
            key += QChar(text.mid(i + 1, 2).toUShort(nullptr, 16));
            i += 2;
        } else {
            key += c;
        }
    }
    return key;
}

QByteArray escapedKey(const QString& key) {
    QByteArray out;
    for (const QChar c : key) {
        const char16_t u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '_' ||
            u == '.')
            out += char(u);
        else if (u == '/')
            out += '\\';
        else if (u <= 0xFF)
            out += '%' + QByteArray::number(u, 16).rightJustified(2, '0').toUpper();
        else
            out += "%U" + QByteArray::number(u, 16).rightJustified(4, '0').toUpper();
    }
    return out;
}

// "@ByteArray(...)" in QSettings' escaping: control bytes and bytes from
// 0x7F on as escapes (a hex escape is never followed by a bare hex digit,
// which it would swallow), quotes around a text holding ; , or =.
QByteArray escapedValue(const QByteArray& value) {
    QByteArray out = "@ByteArray(";
    bool hexBefore = false, quote = false;
    for (const char ch : value + ")") {
        const auto b = static_cast<unsigned char>(ch);
        quote = quote || b == ';' || b == ',' || b == '=';
        if (hexBefore && isHex(b)) {
            out += "\\x" + QByteArray::number(b, 16);
            continue;
        }
        hexBefore = false;
        switch (b) {
            case '\0': out += "\\0"; hexBefore = true; break;
            case '\a': out += "\\a"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\v': out += "\\v"; break;
            case '"':
            case '\\':
                out += '\\';
                out += char(b);
                break;
            default:
                if (b < 0x20 || b >= 0x7F) {
                    out += "\\x" + QByteArray::number(b, 16);
                    hexBefore = true;
                } else {
                    out += char(b);
                }
        }
    }
    if (quote) out = '"' + out + '"';
    return out;
}

}  // namespace

UserDefaults::UserDefaults(const QString& path) : path_(path.toStdString()) { read(); }

UserDefaults::~UserDefaults() = default;

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u'/' +
                           QCoreApplication::organizationName();
    const QString app = QCoreApplication::applicationName();
    return std::make_shared<UserDefaults>(folder + u'/' + (app.isEmpty() ? QCoreApplication::organizationName() : app) +
                                          QStringLiteral(".conf"));
}

UserDefaults::Stamp UserDefaults::stamp() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return {};
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

void UserDefaults::refresh() const {
    if (!(stamp() == seen_)) read();
}

void UserDefaults::read() const {
    values_.clear();
    problem_.clear();
    keep_ = false;
    seen_ = stamp();
    const QString name = QString::fromStdString(path_.string());
    // A file there but not read (whole): the first write keeps it beside.
    auto unread = [&](const char* text) {
        problem_ = QString::fromLatin1(text).arg(name, QString::fromUtf8(std::strerror(errno)));
        keep_ = true;
    };
    struct stat named {};
    if (::stat(path_.c_str(), &named) != 0) {
        if (errno != ENOENT) unread("The settings file %1 could not be read (%2); the defaults are in use");
        return;
    }
    auto odd = [&](mode_t mode) {
        problem_ = QStringLiteral("The settings file %1 is %2, not a file: the defaults are in use and changes "
                                  "are not saved")
                       .arg(name, QLatin1String(kindOf(mode)));
    };
    // Nothing but a regular file is opened: opening a device may do
    // something, and a FIFO would block the start.
    if (!S_ISREG(named.st_mode)) return odd(named.st_mode);
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0) {
        unread("The settings file %1 could not be read (%2); the defaults are in use");
        if (fd >= 0) ::close(fd);
        return;
    }
    if (!S_ISREG(opened.st_mode)) {
        ::close(fd);
        return odd(opened.st_mode);
    }

    QString section;
    QStringList refused;
    std::string line;
    bool skipping = false;
    auto takeLine = [&] {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const QByteArray text = QByteArray::fromStdString(line).trimmed();
        if (text.isEmpty() || text.startsWith(';') || text.startsWith('#')) return;
        if (text.startsWith('[') && text.endsWith(']')) {
            section = unescapedKey(text.mid(1, text.size() - 2));
            if (section.compare(QLatin1String("General"), Qt::CaseInsensitive) == 0) section.clear();
            return;
        }
        const qsizetype equals = text.indexOf('=');
        if (equals <= 0) return;
        const QString key = (section.isEmpty() ? QString() : section + u'/') + unescapedKey(text.left(equals));
        const QByteArray value = valueBytes(line.substr(line.find('=') + 1));
        if (value.size() > kMaxValueBytes) {
            refused << key;
            values_.erase(key);
            return;
        }
        values_[key] = value;
    };
    // Read in blocks: a value too long to take is passed over without
    // being held whole.
    char block[65536];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            unread("The settings file %1 could not be read whole (%2)");
            break;
        }
        for (const char *p = block, *end = block + n; p < end;) {
            const auto* lf = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
            if (!skipping) {
                line.append(p, lf ? lf : end);
                if (line.size() > kMaxLine) {
                    const size_t equals = line.find('=');
                    if (equals != std::string::npos && equals < 1024)
                        refused << (section.isEmpty() ? QString() : section + u'/') +
                                       unescapedKey(QByteArray::fromStdString(line.substr(0, equals)));
                    line.clear();
                    skipping = true;
                }
            }
            if (!lf) break;
            if (!skipping) takeLine();
            line.clear();
            skipping = false;
            p = lf + 1;
        }
    }
    if (!skipping) takeLine();
    ::close(fd);
    if (!refused.isEmpty()) keep_ = true;
    if (!refused.isEmpty() && problem_.isEmpty()) {
        refused.removeDuplicates();
        problem_ = QStringLiteral("Stored settings over %1 MiB were not read (%2); their defaults are in use")
                       .arg(kMaxValueBytes >> 20)
                       .arg(refused.join(QStringLiteral(", ")));
    }
}

std::optional<QByteArray> UserDefaults::data(const QString& key) const {
    refresh();
    const auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool UserDefaults::setData(const QString& key, const QByteArray& value) {
    refresh();
    values_[key] = value;
    return write();
}

bool UserDefaults::removeValue(const QString& key) {
    refresh();
    values_.erase(key);
    return write();
}

bool UserDefaults::write() {
    writeError_.clear();
    struct stat st {};
    // Whatever stands at the name that is not a file (or a link to one)
    // stays as it is: nothing is written through it, nothing replaces it.
    if (::lstat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode) &&
        !(S_ISLNK(st.st_mode) && (::stat(path_.c_str(), &st) != 0 || S_ISREG(st.st_mode)))) {
        writeError_ = QStringLiteral("%1 is %2, not a file")
                          .arg(QString::fromStdString(path_.string()), QLatin1String(kindOf(st.st_mode)));
        return false;
    }
    // What was not read would be lost with the file: it is kept first, the
    // target of a link beside that target, which the write replaces.
    if (keep_) {
        const std::optional<fs::path> aside =
            FileAccess::setAside(FileAccess::resolveLink(path_), "unread", FileAccess::Aside::link);
        if (!aside && errno != ENOENT) {
            writeError_ = QStringLiteral("the settings file as it was could not be kept beside it (%1)")
                              .arg(QString::fromUtf8(std::strerror(errno)));
            return false;
        }
        keep_ = false;
        if (aside) {
            kept_ = aside;
            if (keptObserver_) keptObserver_();
        }
    }
    QByteArray text = "[General]\n";
    for (const auto& [key, value] : values_) text += escapedKey(key) + '=' + escapedValue(value) + '\n';
    try {
        std::error_code ec;
        if (path_.has_parent_path()) fs::create_directories(path_.parent_path(), ec);
        FileAccess::writeThroughTemporary(
            path_,
            [&](FileAccess::TemporaryFile& file) {
                if (!FileAccess::writeAll(file.fd(), text.constData(), size_t(text.size())))
                    throw AppError(FileAccess::kWriteFailed, std::strerror(errno));
            },
            FileAccess::AtLink::follow);
    } catch (const AppError& e) {
        writeError_ = QString::fromUtf8(e.what());
        return false;
    }
    seen_ = stamp();
    return true;
}

}  // namespace qm
