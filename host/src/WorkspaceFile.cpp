#include <Velantor/WorkspaceFile.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QSaveFile>
#include <QString>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <map>

namespace Velantor {

namespace {

using PropertiesDetail::Attribute;
using PropertiesDetail::Value;

// Integers a double holds exactly and that no neighbour shares: inside this
// range a JSON number means the same integer to every reader.
constexpr std::int64_t kMaxSafeInteger = (std::int64_t(1) << 53) - 1;

bool fail(std::string* error, const std::string& why)
{
    if (error) *error = why;
    return false;
}

QString toQString(const std::string& text) { return QString::fromStdString(text); }

std::string toStd(const QString& text) { return text.toStdString(); }

// A text JSON carries unchanged: anything else would be altered on the way
// to the file or back. Besides bytes that are not UTF-8, that excludes a
// byte order mark at the start, which Qt drops when it reads the text.
bool isWritable(const std::string& text)
{
    const QByteArray back = toQString(text).toUtf8();
    return static_cast<std::size_t>(back.size()) == text.size() &&
           std::memcmp(back.constData(), text.data(), text.size()) == 0;
}

// A text from the file, fit for a message: on one line and short.
std::string shown(const std::string& text)
{
    constexpr std::size_t kMaxShown = 64;
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (out.size() >= kMaxShown && (c & 0xC0) != 0x80) return out + "...";
        out += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    return out;
}

// ------------------------------------------------------------------ writing

int kindType(const Value& value)
{
    switch (value.index()) {
    case 0: return PropertiesDetail::Bool;
    case 1: return PropertiesDetail::Int;
    case 2: return PropertiesDetail::Double;
    case 3: return PropertiesDetail::String;
    default: return PropertiesDetail::Vector;
    }
}

// The display type a parameter was given, 0 for none. paramType() answers a
// type given as the value's own kind just like no type at all, yet the two
// compare unequal and differ once the value changes kind; a value of another
// kind tells them apart. block is a scratch copy: the value is overwritten.
int givenType(Properties& block, const std::string& key)
{
    const int reported = block.paramType(key);
    if (reported != kindType(*block.rawParam(key))) return reported;
    if (block.rawParam(key)->index() == 3)
        block.setParam(key, false);
    else
        block.setParam(key, std::string());
    return block.paramType(key) == reported ? reported : PropertiesDetail::Default;
}

QJsonValue doubleValue(double d)
{
    if (std::isnan(d)) return QStringLiteral("nan");
    if (std::isinf(d)) return d > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
    // JSON writers, Qt's included, print negative zero as 0.
    if (d == 0 && std::signbit(d)) return QStringLiteral("-0");
    return d;
}

QJsonArray attributeList(const std::vector<Attribute>& attributes)
{
    QJsonArray list;
    for (const auto& a : attributes) list.append(QJsonArray{toQString(a.name), toQString(a.value)});
    return list;
}

QJsonObject writeBlock(Properties& block)
{
    QJsonObject out;
    out.insert("name", toQString(block.name()));
    QJsonArray params;
    for (const std::string& key : block.paramNames()) {
        QJsonObject param;
        param.insert("key", toQString(key));
        const Value& value = *block.rawParam(key);
        switch (value.index()) {
        case 0:
            param.insert("kind", "bool");
            param.insert("value", std::get<bool>(value));
            break;
        case 1: {
            const std::int64_t i = std::get<std::int64_t>(value);
            param.insert("kind", "int");
            if (i >= -kMaxSafeInteger && i <= kMaxSafeInteger)
                param.insert("value", static_cast<double>(i));
            else
                param.insert("value", QString::number(static_cast<qlonglong>(i)));
            break;
        }
        case 2:
            param.insert("kind", "double");
            param.insert("value", doubleValue(std::get<double>(value)));
            break;
        case 3:
            param.insert("kind", "text");
            param.insert("value", toQString(std::get<std::string>(value)));
            break;
        default: {
            QJsonArray list;
            for (double d : std::get<std::vector<double>>(value)) list.append(doubleValue(d));
            param.insert("kind", "list");
            param.insert("value", list);
            break;
        }
        }
        const auto attributes = block.paramAttributes(key);
        if (!attributes.empty()) param.insert("attributes", attributeList(attributes));
        // Last: it overwrites the value.
        if (const int type = givenType(block, key)) param.insert("type", type);
        params.append(param);
    }
    if (!params.isEmpty()) out.insert("params", params);
    if (!block.attributes().empty()) out.insert("attributes", attributeList(block.attributes()));
    QJsonArray blocks;
    for (Properties* child : block.subProperties()) blocks.append(writeBlock(*child));
    if (!blocks.isEmpty()) out.insert("blocks", blocks);
    return out;
}

// What write() refuses: a tree read() would refuse or a text JSON would alter.
bool checkWritable(const Properties& block, const std::string& parentPath, int depth,
                   std::string& why)
{
    const std::string path =
        parentPath.empty() ? shown(block.name()) : parentPath + "/" + shown(block.name());
    if (depth > WorkspaceFile::kMaxDepth) {
        why = "block " + path + " is nested deeper than " +
              std::to_string(WorkspaceFile::kMaxDepth) + " levels";
        return false;
    }
    auto notUtf8 = [&](const std::string& what) {
        why = what + " of block " + path + " is not UTF-8 text or starts with a byte order mark";
        return false;
    };
    if (!isWritable(block.name())) return notUtf8("the name");
    for (const auto& a : block.attributes())
        if (!isWritable(a.name) || !isWritable(a.value)) return notUtf8("an attribute");
    const auto keys = block.paramNames();
    if (keys.size() > static_cast<std::size_t>(WorkspaceFile::kMaxParams)) {
        why = "block " + path + " has more than " + std::to_string(WorkspaceFile::kMaxParams) +
              " parameters";
        return false;
    }
    for (const std::string& key : keys) {
        if (!isWritable(key)) return notUtf8("a parameter name");
        const Value& value = *block.rawParam(key);
        if (value.index() == 3 && !isWritable(std::get<std::string>(value)))
            return notUtf8("the value of " + shown(key));
        for (const auto& a : block.paramAttributes(key))
            if (!isWritable(a.name) || !isWritable(a.value))
                return notUtf8("an attribute of " + shown(key));
    }
    for (const Properties* child : block.subProperties())
        if (!checkWritable(*child, path, depth + 1, why)) return false;
    return true;
}

// ------------------------------------------------------------------ reading

class Reader {
public:
    explicit Reader(std::string& why) : m_why(why) {}

    // A block found at `where` ("'workspace'", "blocks[2] of block A/B"), at
    // nesting level depth (the root is 1). siblingNames counts the names seen
    // before it among its siblings, so that repeated names show which one.
    bool block(const QJsonValue& value, const std::string& where, const std::string& parentPath,
               int depth, std::map<std::string, int>& siblingNames, Properties& out)
    {
        if (depth > WorkspaceFile::kMaxDepth)
            return refuse(where + ": blocks nested deeper than " +
                          std::to_string(WorkspaceFile::kMaxDepth) + " levels");
        if (!value.isObject()) return refuse(where + ": not an object");
        const QJsonObject object = value.toObject();
        if (!onlyMembers(object, {"name", "params", "attributes", "blocks"}, where)) return false;
        const QJsonValue name = object.value("name");
        if (!name.isString()) return refuse(where + ": 'name' is missing or not a text");
        out.setName(toStd(name.toString()));
        std::string element = shown(out.name());
        if (const int seen = siblingNames[out.name()]++)
            element += "[" + std::to_string(seen) + "]";
        const std::string path = parentPath.empty() ? element : parentPath + "/" + element;
        const std::string self = "block " + path;

        if (object.contains("params")) {
            const QJsonValue params = object.value("params");
            if (!params.isArray()) return refuse(self + ": 'params' is not a list");
            const QJsonArray list = params.toArray();
            // Properties finds a key by walking its list, so that a hostile
            // file with a million parameters would keep the host busy for minutes.
            if (list.size() > WorkspaceFile::kMaxParams)
                return refuse(self + ": more than " + std::to_string(WorkspaceFile::kMaxParams) +
                              " parameters");
            for (int i = 0; i < list.size(); ++i)
                if (!param(list.at(i), "params[" + std::to_string(i) + "] of " + self, out))
                    return false;
        }
        if (object.contains("attributes")) {
            std::vector<Attribute> attributes;
            if (!attributeList(object.value("attributes"), self, attributes)) return false;
            out.setAttributes(attributes);
        }
        if (object.contains("blocks")) {
            const QJsonValue blocks = object.value("blocks");
            if (!blocks.isArray()) return refuse(self + ": 'blocks' is not a list");
            const QJsonArray list = blocks.toArray();
            std::map<std::string, int> childNames;
            for (int i = 0; i < list.size(); ++i) {
                Properties& child = out.addSubProperties(std::string());
                if (!block(list.at(i), "blocks[" + std::to_string(i) + "] of " + self, path,
                           depth + 1, childNames, child))
                    return false;
            }
        }
        return true;
    }

private:
    bool refuse(const std::string& why)
    {
        m_why = why;
        return false;
    }

    bool onlyMembers(const QJsonObject& object, std::initializer_list<const char*> known,
                     const std::string& where)
    {
        for (auto it = object.begin(); it != object.end(); ++it) {
            bool isKnown = false;
            for (const char* k : known) isKnown = isKnown || it.key() == QLatin1String(k);
            // A misspelt member would otherwise drop what it holds without a word.
            if (!isKnown)
                return refuse(where + ": unknown member '" + shown(toStd(it.key())) + "'");
        }
        return true;
    }

    // A text read from the file that could not be written back unchanged is
    // refused here, so that every file read can be saved again as it was.
    bool text(const QJsonValue& value, std::string& out)
    {
        if (!value.isString()) return false;
        out = toStd(value.toString());
        return isWritable(out);
    }

    bool attributeList(const QJsonValue& value, const std::string& where,
                       std::vector<Attribute>& out)
    {
        if (!value.isArray()) return refuse(where + ": 'attributes' is not a list");
        const QJsonArray list = value.toArray();
        for (int i = 0; i < list.size(); ++i) {
            const QJsonValue pair = list.at(i);
            Attribute a;
            if (!pair.isArray() || pair.toArray().size() != 2 ||
                !text(pair.toArray().at(0), a.name) || !text(pair.toArray().at(1), a.value))
                return refuse(where + ": attributes[" + std::to_string(i) +
                              "] is not a pair of texts");
            out.push_back(std::move(a));
        }
        return true;
    }

    static bool wholeNumber(const QJsonValue& value, std::int64_t& out)
    {
        if (value.isDouble()) {
            // Qt keeps a number written without fraction or exponent that fits
            // 64 bits as the exact integer; anything else only as a double.
            const QVariant exact = value.toVariant();
            if (exact.userType() == QMetaType::LongLong) {
                out = exact.toLongLong();
                return true;
            }
            const double d = value.toDouble();
            if (!(std::fabs(d) <= static_cast<double>(kMaxSafeInteger)) || d != std::trunc(d))
                return false;
            out = static_cast<std::int64_t>(d);
            return true;
        }
        if (!value.isString()) return false;
        const std::string digits = toStd(value.toString());
        const std::size_t first = !digits.empty() && digits[0] == '-' ? 1 : 0;
        if (digits.size() == first ||
            digits.find_first_not_of("0123456789", first) != std::string::npos)
            return false;
        errno = 0;
        const long long parsed = std::strtoll(digits.c_str(), nullptr, 10);
        if (errno != 0) return false;
        out = parsed;
        return true;
    }

    static bool number(const QJsonValue& value, double& out)
    {
        if (value.isDouble()) {
            out = value.toDouble();
            return std::isfinite(out);
        }
        if (!value.isString()) return false;
        const QString t = value.toString();
        if (t == QLatin1String("nan")) {
            out = std::numeric_limits<double>::quiet_NaN();
        } else if (t == QLatin1String("inf")) {
            out = std::numeric_limits<double>::infinity();
        } else if (t == QLatin1String("-inf")) {
            out = -std::numeric_limits<double>::infinity();
        } else if (t == QLatin1String("-0")) {
            out = -0.0;
        } else {
            return false;
        }
        return true;
    }

    bool param(const QJsonValue& value, const std::string& where, Properties& block)
    {
        if (!value.isObject()) return refuse(where + ": not an object");
        const QJsonObject object = value.toObject();
        if (!onlyMembers(object, {"key", "kind", "value", "type", "attributes"}, where))
            return false;
        std::string key;
        if (!text(object.value("key"), key))
            return refuse(where + ": 'key' is missing or not a text");
        // Properties holds one value per key: a second one would silently
        // replace the first.
        if (block.hasParam(key)) return refuse(where + ": duplicate key '" + shown(key) + "'");
        const QJsonValue kindValue = object.value("kind");
        if (!kindValue.isString()) return refuse(where + ": 'kind' is missing or not a text");
        const std::string kind = toStd(kindValue.toString());
        if (!object.contains("value")) return refuse(where + ": 'value' is missing");
        const QJsonValue v = object.value("value");
        auto wrongValue = [&](const std::string& expected) {
            return refuse(where + ": the value of kind " + kind + " is not " + expected);
        };
        constexpr const char* kNumberForms =
            "a number or one of \"nan\", \"inf\", \"-inf\", \"-0\"";
        if (kind == "bool") {
            if (!v.isBool()) return wrongValue("true or false");
            block.setParam(key, v.toBool());
        } else if (kind == "int") {
            std::int64_t i = 0;
            if (!wholeNumber(v, i)) return wrongValue("a whole 64-bit number");
            block.setParam(key, i);
        } else if (kind == "double") {
            double d = 0;
            if (!number(v, d)) return wrongValue(kNumberForms);
            block.setParam(key, d);
        } else if (kind == "text") {
            std::string s;
            if (!text(v, s)) return wrongValue("a text");
            block.setParam(key, std::move(s));
        } else if (kind == "list") {
            if (!v.isArray()) return wrongValue("a list");
            const QJsonArray list = v.toArray();
            std::vector<double> numbers;
            numbers.reserve(static_cast<std::size_t>(list.size()));
            for (int i = 0; i < list.size(); ++i) {
                double d = 0;
                if (!number(list.at(i), d))
                    return refuse(where + ": element " + std::to_string(i) +
                                  " of the list is not " + kNumberForms);
                numbers.push_back(d);
            }
            block.setParam(key, numbers);
        } else {
            return refuse(where + ": unknown kind '" + shown(kind) + "'");
        }
        if (object.contains("type")) {
            std::int64_t type = 0;
            if (!wholeNumber(object.value("type"), type) || !object.value("type").isDouble() ||
                type < std::numeric_limits<int>::min() || type > std::numeric_limits<int>::max())
                return refuse(where + ": 'type' is not a whole number");
            block.setParamType(key, static_cast<int>(type));
        }
        if (object.contains("attributes")) {
            std::vector<Attribute> attributes;
            if (!attributeList(object.value("attributes"), where, attributes)) return false;
            block.setParamAttributes(key, attributes);
        }
        return true;
    }

    std::string& m_why;
};

struct FileDescriptor {
    int fd;
    ~FileDescriptor()
    {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

QByteArray WorkspaceFile::toJson(const Properties& workspace, int version)
{
    Properties scratch(workspace);
    QJsonObject top;
    top.insert("format", kFormatName);
    top.insert("version", version);
    top.insert("workspace", writeBlock(scratch));
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

bool WorkspaceFile::fromJson(const QByteArray& text, Properties& workspace, int& savedVersion,
                             std::string* error)
{
    if (text.size() > kMaxFileSize) return fail(error, "larger than 16 MB");
    if (text.trimmed().isEmpty()) return fail(error, "the file is empty");
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, "not JSON: " + toStd(parseError.errorString()) + " at byte " +
                               std::to_string(parseError.offset));
    if (!document.isObject()) return fail(error, "the top level is not an object");
    const QJsonObject top = document.object();
    for (auto it = top.begin(); it != top.end(); ++it)
        if (it.key() != QLatin1String("format") && it.key() != QLatin1String("version") &&
            it.key() != QLatin1String("workspace"))
            return fail(error, "unknown member '" + shown(toStd(it.key())) + "' at the top level");
    if (top.value("format") != QJsonValue(kFormatName))
        return fail(error,
                    std::string("not a workspace file ('format' is not \"") + kFormatName + "\")");
    if (!top.contains("version")) return fail(error, "'version' is missing");
    const QVariant version = top.value("version").toVariant();
    if (version.userType() != QMetaType::LongLong || version.toLongLong() < 0 ||
        version.toLongLong() > std::numeric_limits<int>::max())
        return fail(error, "'version' is not a whole number from 0 to " +
                               std::to_string(std::numeric_limits<int>::max()));
    if (!top.contains("workspace")) return fail(error, "'workspace' is missing");

    std::string why;
    Reader reader(why);
    Properties tree;
    std::map<std::string, int> rootNames;
    if (!reader.block(top.value("workspace"), "'workspace'", std::string(), 1, rootNames, tree))
        return fail(error, why);
    workspace = std::move(tree);
    savedVersion = static_cast<int>(version.toLongLong());
    return true;
}

bool WorkspaceFile::read(const Filesystem::Path& path, Properties& workspace, int& savedVersion,
                         std::string* error)
{
    auto refuse = [&](const std::string& why) {
        return fail(error, "cannot read workspace " + path.string() + ": " + why);
    };
    if (path.empty()) return fail(error, "cannot read workspace: no file name");
    // Non-blocking, so that a FIFO put in the file's place cannot hang the
    // host here; it is refused below as not a regular file.
    FileDescriptor file{
        ::open(path.string().c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (file.fd < 0) return refuse(std::strerror(errno));
    struct stat st {};
    if (::fstat(file.fd, &st) != 0) return refuse(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return refuse("it is a directory");
    if (!S_ISREG(st.st_mode)) return refuse("not a regular file");
    if (st.st_size > kMaxFileSize)
        return refuse("larger than 16 MB (" + std::to_string(st.st_size) + " bytes)");

    // Read up to one byte past the limit: the file may have grown since fstat.
    QByteArray text;
    text.resize(static_cast<int>(st.st_size) + 1);
    qint64 have = 0;
    for (;;) {
        if (have == text.size()) {
            if (text.size() > kMaxFileSize) return refuse("larger than 16 MB");
            text.resize(static_cast<int>(std::min<qint64>(text.size() * 2LL, kMaxFileSize + 1)));
        }
        const ssize_t n =
            ::read(file.fd, text.data() + have, static_cast<std::size_t>(text.size() - have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return refuse(std::strerror(errno));
        if (n == 0) break;
        have += n;
    }
    text.truncate(static_cast<int>(have));

    std::string why;
    if (!fromJson(text, workspace, savedVersion, &why)) return refuse(why);
    return true;
}

bool WorkspaceFile::write(const Filesystem::Path& path, const Properties& workspace,
                          std::string* error)
{
    auto refuse = [&](const std::string& why) {
        return fail(error, "cannot write workspace " + path.string() + ": " + why);
    };
    if (path.empty()) return fail(error, "cannot write workspace: no file name");
    std::string why;
    if (!checkWritable(workspace, std::string(), 1, why)) return refuse(why);
    const QByteArray text = toJson(workspace, kFormatVersion);
    if (text.size() > kMaxFileSize) return refuse("it would be larger than 16 MB");

    // QSaveFile writes a temporary file next to the target, syncs it and
    // renames it over the target only when everything was written.
    QSaveFile file(toQString(path.string()));
    if (!file.open(QIODevice::WriteOnly)) return refuse(toStd(file.errorString()));
    if (file.write(text) != text.size()) {
        const std::string cause = toStd(file.errorString());
        file.cancelWriting();
        return refuse(cause);
    }
    if (!file.commit()) return refuse(toStd(file.errorString()));
    return true;
}

}  // namespace Velantor
