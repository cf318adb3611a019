#include "support/shelltree/shell_items.h"

#include <QCollator>
#include <QStandardPaths>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include <unistd.h>

#include "platform/config/value_text.h"
#include "platform/os/file_system.h"

namespace support {

namespace fs = std::filesystem;

namespace {

char Fold(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool Hidden(const fs::path& path) {
    const std::string name = path.filename().string();
    return !name.empty() && name[0] == '.';
}

// Glob with backtracking to the last star: linear in practice, and a mask
// like "*.txt" finds its literal wherever the name ends.
bool Glob(std::string_view mask, std::string_view name) {
    std::size_t m = 0, n = 0;
    std::size_t star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (m < mask.size() &&
            (mask[m] == '?' || (mask[m] != '*' && Fold(mask[m]) == Fold(name[n])))) {
            ++m;
            ++n;
        } else if (m < mask.size() && mask[m] == '*') {
            star = m++;
            resume = n;
        } else if (star != std::string_view::npos) {
            m = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

std::string Extension(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

int Sign(int v) {
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

// Names in the order a file manager shows them: by the user's collation, case
// aside and numbers by their value ("Ärger" beside "Apfel", "Liste 2" before
// "Liste 10"); names it holds equal by their folded form, then their bytes.
int CompareNames(const std::string& a, const std::string& b) {
    // Made once per thread and locale: a collator is dear to make, and a
    // folder's sort compares often.
    thread_local std::optional<QCollator> collator;
    if (const QLocale current; !collator || collator->locale() != current) {
        collator.emplace(current);
        collator->setCaseSensitivity(Qt::CaseInsensitive);
        collator->setNumericMode(true);
    }
    if (const int collated =
            collator->compare(QString::fromStdString(a), QString::fromStdString(b)))
        return Sign(collated);
    const int folded = platform::config::FoldName(a).compare(platform::config::FoldName(b));
    return Sign(folded != 0 ? folded : a.compare(b));
}

ShellItem Virtual(const fs::path& path, std::string display) {
    ShellItem item = MakeItem(path);
    item.name = path.string();
    item.display = std::move(display);
    item.attributes &= ~SFGAO_CANRENAME;
    return item;
}

}  // namespace

std::uint32_t ItemAttributes(const fs::path& path) {
    const auto link = platform::os::QueryFileStatus(path.string(), false);
    if (!link.ok())
        return 0;
    std::uint32_t attributes = SFGAO_FILESYSTEM | SFGAO_CANRENAME | SFGAO_HASPROPSHEET;
    platform::os::FileStatus target = *link;
    if (link->symlink) {
        attributes |= SFGAO_LINK;
        const auto followed = platform::os::QueryFileStatus(path.string(), true);
        if (!followed.ok())
            return attributes;  // a dangling link is a plain item
        target = *followed;
    }
    if (Hidden(path))
        attributes |= SFGAO_HIDDEN;
    if (target.directory) {
        attributes |= SFGAO_FOLDER | SFGAO_FILESYSANCESTOR;
        std::error_code error;
        for (fs::directory_iterator it(path, fs::directory_options::skip_permission_denied, error),
             end;
             !error && it != end; it.increment(error)) {
            if (it->is_directory(error) && !Hidden(it->path())) {
                attributes |= SFGAO_HASSUBFOLDER;
                break;
            }
        }
    }
    return attributes;
}

ShellItem MakeItem(const fs::path& path) {
    ShellItem item;
    item.path = path;
    item.name = path.filename().string();
    item.display = item.name;
    item.attributes = ItemAttributes(path);
    if (const auto info = platform::os::QueryFileStatus(path.string(), true); info.ok()) {
        item.size = info->directory ? 0 : info->size;
        item.modified = info->modified;
    }
    return item;
}

std::optional<std::vector<ShellItem>> EnumerateFolder(const fs::path& folder, std::uint32_t flags) {
    if (folder.empty()) {
        std::vector<ShellItem> items = DesktopItems();
        return items;
    }
    std::error_code error;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    if (error)
        return std::nullopt;
    std::vector<ShellItem> items;
    for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
        const fs::path& path = it->path();
        if (Hidden(path) && !(flags & SHCONTF_INCLUDEHIDDEN))
            continue;
        std::error_code type_error;
        const bool folder_item = it->is_directory(type_error);
        if (folder_item ? !(flags & SHCONTF_FOLDERS) : !(flags & SHCONTF_NONFOLDERS))
            continue;
        items.push_back(MakeItem(path));
    }
    return items;
}

std::vector<std::string> VolumeMountPoints(std::string_view mounts) {
    std::vector<std::string> points;
    std::istringstream in{std::string(mounts)};
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string device, point;
        if (!(fields >> device >> point))
            continue;
        // The table escapes blanks and the like as octal.
        std::string decoded;
        for (std::size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size() &&
                std::isdigit(static_cast<unsigned char>(point[i + 1]))) {
                decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                decoded += point[i];
            }
        }
        for (std::string_view base : {"/media/", "/run/media/", "/mnt/"}) {
            if (decoded.rfind(base, 0) == 0 && decoded.size() > base.size() &&
                std::find(points.begin(), points.end(), decoded) == points.end())
                points.push_back(decoded);
        }
    }
    return points;
}

std::vector<ShellItem> DesktopItems() {
    std::vector<ShellItem> items;
    const QString home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    if (!home.isEmpty())
        items.push_back(Virtual(home.toStdString(), "Home"));
    items.push_back(Virtual("/", "File System"));
    std::ifstream mounts("/proc/self/mounts");
    std::stringstream text;
    text << mounts.rdbuf();
    for (const std::string& point : VolumeMountPoints(text.str()))
        items.push_back(Virtual(point, fs::path(point).filename().string()));
    return items;
}

bool MaskMatches(std::string_view mask, std::string_view name) {
    if (mask.empty())
        return false;
    if (mask == "*")
        return true;
    if (mask == "*.*")
        return name.find('.') != std::string_view::npos;
    return Glob(mask, name);
}

int CompareItems(const ShellItem& a, const ShellItem& b, int column) {
    const bool a_folder = (a.attributes & SFGAO_FOLDER) != 0;
    const bool b_folder = (b.attributes & SFGAO_FOLDER) != 0;
    if (a_folder != b_folder)
        return a_folder ? -1 : 1;
    int result = 0;
    switch (column) {
        case 1:
            result = a.size < b.size ? -1 : a.size > b.size ? 1 : 0;
            break;
        case 2:
            result = CompareNames(Extension(a.display), Extension(b.display));
            break;
        case 3:
            result = a.modified < b.modified ? -1 : a.modified > b.modified ? 1 : 0;
            break;
        default:
            break;
    }
    return result != 0 ? result : CompareNames(a.display, b.display);
}

std::string NormalizeFolderPath(std::string_view text) {
    std::string path = platform::os::NormalizeSeparators(text);
    if (path.empty())
        return {};
    fs::path p(path);
    if (p.is_relative()) {
        std::error_code error;
        p = fs::current_path(error) / p;
    }
    p = p.lexically_normal();
    std::error_code error;
    while (!fs::is_directory(p, error)) {
        if (p == p.root_path() || !p.has_relative_path())
            return {};
        std::string s = p.string();
        while (s.size() > 1 && s.back() == '/')
            s.pop_back();
        p = fs::path(s).parent_path();
    }
    std::string result = p.string();
    while (result.size() > 1 && result.back() == '/')
        result.pop_back();
    return result;
}

}  // namespace support
