#include "platform/config/registry_store.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <system_error>

#include "platform/config/atomic_file.h"
#include "platform/config/errors.h"
#include "platform/config/value_text.h"
#include "platform/os/file_system.h"

namespace platform::config {

namespace {

constexpr std::string_view kHeader = "Corvane registry 1";

// Blanks are escaped only at either end of a field, so that no line ends in a
// blank that an editor might strip, while "Windows Messaging Subsystem" stays
// readable.
bool NeedsEscape(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == '%' || c == '=' || c == '\\' || c == '[' || c == ']';
}

bool AtEdge(std::string_view text, std::size_t i) {
    return i == 0 || i + 1 == text.size();
}

void AppendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        const auto c = static_cast<unsigned char>(ch);
        if (NeedsEscape(c) || (c == ' ' && AtEdge(text, i))) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // lower case is never written, so it marks damage
}

// Reads the lines of one file and reports damage with the file and line.
class Parser {
  public:
    Parser(std::string_view text, std::string_view source) : text_(text), source_(source) {}

    std::unique_ptr<RegistryKeyNode> Run();

  private:
    [[noreturn]] void Fail(std::string_view why) const {
        throw ERegistryException("The settings file \"" + std::string(source_) +
                                 "\" is damaged at line " + std::to_string(line_number_) + ": " +
                                 std::string(why) +
                                 ". It was left unchanged; repair or remove it.");
    }

    std::string Unescape(std::string_view text) const {
        std::string out;
        out.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c == '%') {
                if (i + 2 >= text.size()) {
                    Fail("bad escape");
                }
                const int hi = HexDigit(text[i + 1]);
                const int lo = HexDigit(text[i + 2]);
                if (hi < 0 || lo < 0) {
                    Fail("bad escape");
                }
                out += static_cast<char>((hi << 4) | lo);
                i += 2;
            } else if (NeedsEscape(c) || (c == ' ' && AtEdge(text, i))) {
                Fail("character that should have been escaped");
            } else {
                out += text[i];
            }
        }
        return out;
    }

    std::string_view text_;
    std::string_view source_;
    std::size_t line_number_ = 0;
};

std::unique_ptr<RegistryKeyNode> Parser::Run() {
    auto root = std::make_unique<RegistryKeyNode>();
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text_.size()) {
        const std::size_t end = text_.find('\n', start);
        if (end == std::string_view::npos) {
            line_number_ = lines.size() + 1;
            Fail("the file ends in the middle of a line");
        }
        lines.push_back(text_.substr(start, end - start));
        start = end + 1;
    }
    if (lines.empty()) {
        line_number_ = 1;
        Fail("the file is empty");
    }
    line_number_ = 1;
    if (lines.front() != kHeader) {
        Fail("not a Corvane settings file");
    }
    line_number_ = lines.size();
    const std::string_view last = lines.back();
    if (last.substr(0, 4) != "end " ||
        ParseIntegerText(last.substr(4)) != static_cast<std::int32_t>(lines.size() - 1)) {
        Fail("the file is incomplete (no matching \"end\" line)");
    }

    RegistryKeyNode* current = nullptr;
    // Key paths already seen, so a key listed twice is caught.
    std::map<std::string, bool> seen_paths;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        line_number_ = i + 1;
        const std::string_view line = lines[i];
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string_view body = line.substr(1, line.size() - 2);
            RegistryKeyNode* node = root.get();
            std::string folded_path;
            std::size_t depth = 0;
            if (!body.empty()) {
                std::size_t pos = 0;
                for (;;) {
                    const std::size_t sep = body.find('\\', pos);
                    const std::string name = Unescape(body.substr(pos, sep - pos));
                    if (name.empty()) {
                        Fail("empty key name");
                    }
                    if (name.find('\\') != std::string::npos) {
                        Fail("key name with \"\\\"");
                    }
                    if (++depth > kMaxKeyDepth) {
                        Fail("key nested too deeply");
                    }
                    node = &node->AddChild(name);
                    folded_path += FoldName(name) + '\\';
                    if (sep == std::string_view::npos) {
                        break;
                    }
                    pos = sep + 1;
                }
            }
            if (!seen_paths.emplace(folded_path, true).second) {
                Fail("key listed twice");
            }
            current = node;
            continue;
        }
        if (line.size() < 2 || line[1] != ' ' || (line[0] != 's' && line[0] != 'i')) {
            Fail("unknown line");
        }
        if (current == nullptr) {
            Fail("value outside a key");
        }
        const std::string_view rest = line.substr(2);
        const std::size_t eq = rest.find('=');
        if (eq == std::string_view::npos) {
            Fail("value without \"=\"");
        }
        RegistryValue value;
        value.name = Unescape(rest.substr(0, eq));
        if (current->FindValue(value.name) != nullptr) {
            Fail("value listed twice");
        }
        if (line[0] == 's') {
            value.type = TRegDataType::rdString;
            value.text = Unescape(rest.substr(eq + 1));
        } else {
            value.type = TRegDataType::rdInteger;
            const auto number = ParseIntegerText(rest.substr(eq + 1));
            if (!number) {
                Fail("integer value out of range or not a number");
            }
            value.integer = *number;
        }
        current->SetValue(std::move(value));
    }
    return root;
}

void SerializeKey(const RegistryKeyNode& node, const std::string& path, std::string& out,
                  std::size_t& lines) {
    out += '[';
    out += path;
    out += "]\n";
    ++lines;
    for (const RegistryValue& value : node.Values()) {
        out += value.type == TRegDataType::rdInteger ? "i " : "s ";
        AppendEscaped(out, value.name);
        out += '=';
        if (value.type == TRegDataType::rdInteger) {
            out += std::to_string(value.integer);
        } else {
            AppendEscaped(out, value.text);
        }
        out += '\n';
        ++lines;
    }
    for (const std::string& child_name : node.ChildNames()) {
        std::string child_path = path;
        if (!child_path.empty()) {
            child_path += '\\';
        }
        AppendEscaped(child_path, child_name);
        SerializeKey(*node.FindChild(child_name), child_path, out, lines);
    }
}

std::filesystem::path ConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr && home[0] != '\0' ? home : "/") / ".config";
}

struct HiveTable {
    std::mutex mutex;
    std::unique_ptr<RegistryHive> current_user;
    std::unique_ptr<RegistryHive> local_machine;
};

HiveTable& Hives() {
    static HiveTable table;
    return table;
}

}  // namespace

RegistryKeyNode* RegistryKeyNode::FindChild(std::string_view name) const {
    const std::string folded = FoldName(name);
    const auto it = std::lower_bound(children_.begin(), children_.end(), folded,
                                     [](const std::unique_ptr<RegistryKeyNode>& child,
                                        const std::string& key) { return child->folded_ < key; });
    return (it != children_.end() && (*it)->folded_ == folded) ? it->get() : nullptr;
}

RegistryKeyNode& RegistryKeyNode::AddChild(std::string_view name) {
    if (RegistryKeyNode* existing = FindChild(name)) {
        return *existing;
    }
    auto child = std::make_unique<RegistryKeyNode>();
    child->name_ = std::string(name);
    child->folded_ = FoldName(name);
    const auto it = std::lower_bound(children_.begin(), children_.end(), child->folded_,
                                     [](const std::unique_ptr<RegistryKeyNode>& c,
                                        const std::string& key) { return c->folded_ < key; });
    return **children_.insert(it, std::move(child));
}

bool RegistryKeyNode::RemoveChild(std::string_view name) {
    const std::string folded = FoldName(name);
    const auto it = std::find_if(children_.begin(), children_.end(),
                                 [&](const auto& child) { return child->folded_ == folded; });
    if (it == children_.end()) {
        return false;
    }
    children_.erase(it);
    return true;
}

std::vector<std::string> RegistryKeyNode::ChildNames() const {
    std::vector<std::string> names;
    names.reserve(children_.size());
    for (const auto& child : children_) {
        names.push_back(child->name_);
    }
    return names;
}

const RegistryValue* RegistryKeyNode::FindValue(std::string_view name) const {
    for (const RegistryValue& value : values_) {
        if (NamesEqual(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

void RegistryKeyNode::SetValue(RegistryValue value) {
    for (RegistryValue& existing : values_) {
        if (NamesEqual(existing.name, value.name)) {
            value.name = existing.name;
            existing = std::move(value);
            return;
        }
    }
    values_.push_back(std::move(value));
}

bool RegistryKeyNode::RemoveValue(std::string_view name) {
    const auto it = std::find_if(values_.begin(), values_.end(),
                                 [&](const RegistryValue& v) { return NamesEqual(v.name, name); });
    if (it == values_.end()) {
        return false;
    }
    values_.erase(it);
    return true;
}

std::filesystem::path SettingsFolder() {
    // A program folder of its own keeps its settings beside its list, so that two such
    // folders never share one set of settings.
    if (const char* home = std::getenv("CORVANE_HOME"); home != nullptr && home[0] != '\0') {
        std::error_code ignored;
        return std::filesystem::absolute(home, ignored);
    }
    return ConfigHome() / "Corvane";
}

std::vector<std::string> SplitKeyPath(std::string_view path) {
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        const std::size_t sep = std::min(path.find('\\', pos), path.size());
        if (sep > pos) {
            names.emplace_back(path.substr(pos, sep - pos));
        }
        pos = sep + 1;
    }
    return names;
}

RegistryHive::RegistryHive(std::filesystem::path file, bool read_only)
    : file_(std::move(file)), read_only_(read_only) {}

std::filesystem::path MachineHiveFile(const std::filesystem::path& system_file,
                                      const std::filesystem::path& executable) {
    std::error_code error;
    if (std::filesystem::exists(system_file, error) || executable.empty())
        return system_file;
    // An installed copy carries its own machine-wide settings under its prefix, so that a
    // copy installed without the administrator's /etc still finds what it ships.
    return executable.parent_path().parent_path() / "etc" / "corvane" / "registry.ini";
}

std::filesystem::path RegistryHive::DefaultHiveFile(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) {
        const auto exe = platform::os::ExecutablePath();
        return MachineHiveFile("/etc/corvane/registry.ini",
                               exe.ok() ? std::filesystem::path(*exe) : std::filesystem::path());
    }
    return SettingsFolder() / "registry.ini";
}

RegistryHive* RegistryHive::ForRoot(HKEY root) {
    HiveTable& table = Hives();
    std::lock_guard guard(table.mutex);
    if (root == HKEY_CURRENT_USER) {
        if (!table.current_user) {
            table.current_user =
                std::make_unique<RegistryHive>(DefaultHiveFile(root), /*read_only=*/false);
        }
        return table.current_user.get();
    }
    if (root == HKEY_LOCAL_MACHINE) {
        if (!table.local_machine) {
            table.local_machine =
                std::make_unique<RegistryHive>(DefaultHiveFile(root), /*read_only=*/true);
        }
        return table.local_machine.get();
    }
    return nullptr;
}

void RegistryHive::SetHiveFile(HKEY root, const std::filesystem::path& file) {
    RegistryHive* hive = ForRoot(root);
    if (hive == nullptr) {
        return;
    }
    auto lock = hive->Lock();
    hive->file_ = file;
    hive->root_.reset();
    hive->loaded_stamp_.reset();
    hive->dirty_ = false;
}

RegistryHive::FileStamp RegistryHive::StampOf() const {
    return os::StampOf(file_.string());
}

void RegistryHive::Refresh() {
    auto lock = Lock();
    const FileStamp stamp = StampOf();
    if (root_ && loaded_stamp_ && (dirty_ || *loaded_stamp_ == stamp)) {
        return;
    }
    std::string text;
    bool exists = false;
    try {
        exists = ReadWholeFile(file_, text);
    } catch (const std::system_error& error) {
        root_.reset();
        loaded_stamp_.reset();
        throw ERegistryException("The settings file \"" + file_.string() +
                                 "\" cannot be read: " + error.what());
    }
    try {
        root_ = exists ? Parse(text, file_.string()) : std::make_unique<RegistryKeyNode>();
    } catch (...) {
        root_.reset();
        loaded_stamp_.reset();
        throw;
    }
    loaded_stamp_ = stamp;
    dirty_ = false;
}

RegistryKeyNode* RegistryHive::Find(const std::vector<std::string>& path) {
    RegistryKeyNode* node = root_.get();
    for (const std::string& name : path) {
        if (node == nullptr) {
            break;
        }
        node = node->FindChild(name);
    }
    return node;
}

RegistryKeyNode& RegistryHive::FindOrCreate(const std::vector<std::string>& path) {
    if (path.size() > kMaxKeyDepth) {
        throw ERegistryException("A key path may hold at most " + std::to_string(kMaxKeyDepth) +
                                 " names");
    }
    RegistryKeyNode* node = root_.get();
    for (const std::string& name : path) {
        node = &node->AddChild(name);
    }
    return *node;
}

void RegistryHive::Flush() {
    auto lock = Lock();
    if (!dirty_ || !root_) {
        return;
    }
    if (read_only_) {
        throw ERegistryException("The settings file \"" + file_.string() + "\" is read-only");
    }
    try {
        WriteFileAtomically(file_, Serialize(*root_), 0600, 0700);
    } catch (const std::system_error& error) {
        throw ERegistryException("The settings could not be saved to \"" + file_.string() +
                                 "\": " + error.what());
    }
    loaded_stamp_ = StampOf();
    dirty_ = false;
}

std::filesystem::path RegistryHive::SetAside(std::string_view suffix) {
    auto lock = Lock();
    try {
        Refresh();
        return {};
    } catch (const ERegistryException&) {
        // Still unreadable: it goes.
    }
    if (read_only_) {
        throw ERegistryException("The settings file \"" + file_.string() + "\" is read-only");
    }
    std::filesystem::path aside = file_;
    aside += std::string(suffix);
    if (const os::Status moved = os::MoveFile(file_.string(), aside.string()); !moved) {
        throw ERegistryException("The settings file \"" + file_.string() +
                                 "\" could not be moved to \"" + aside.string() +
                                 "\": " + os::FailureReason(moved));
    }
    root_.reset();
    dirty_ = false;
    return aside;
}

std::string RegistryHive::Serialize(const RegistryKeyNode& root) {
    std::string out(kHeader);
    out += '\n';
    std::size_t lines = 0;
    SerializeKey(root, "", out, lines);
    out += "end " + std::to_string(lines + 1) + "\n";  // counts the header too
    return out;
}

std::unique_ptr<RegistryKeyNode> RegistryHive::Parse(std::string_view text,
                                                     std::string_view source) {
    return Parser(text, source).Run();
}

}  // namespace platform::config
