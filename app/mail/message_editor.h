#pragma once

// The message editor's rules: the preview file the HTML preview shows, which
// files and pasted texts make a message HTML, and the merge fields the field
// menu inserts.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace app {

// The field menu's items: caption and field.
struct FieldMenuItem {
    std::string_view caption;
    std::string_view field;
};
inline constexpr FieldMenuItem kFieldMenu[] = {
    {"Insert Full Name Field, %FULL_NAME%", "%FULL_NAME%"},
    {"Insert Salutation Field, %SALUTATION%", "%SALUTATION%"},
    {"Insert E-mail Field, %EMAIL%", "%EMAIL%"},
    {"Insert Date Field, %DATE%", "%DATE%"},
};

// True for a file name ending in ".htm" or ".html", in any case.
bool IsHtmlFileName(std::string_view path);

// The one preview file: "~message" + a number below 20000000 + ".html" in
// the private temporary folder, created with O_EXCL so nothing else's file is
// ever written; the previous one is deleted when a new one is made, and the
// last one when the object goes.
class PreviewFile {
  public:
    // Random numbers for the name (tests fix them).
    explicit PreviewFile(std::function<std::uint32_t()> random = {});
    ~PreviewFile();
    PreviewFile(const PreviewFile&) = delete;
    PreviewFile& operator=(const PreviewFile&) = delete;

    // Writes the text to a new preview file and answers its path; throws
    // EError when it cannot be written.
    const std::string& Create(std::string_view text);
    // Deletes the file when one exists.
    void DeletePreviewFile();
    const std::string& Name() const { return name_; }

  private:
    std::function<std::uint32_t()> random_;
    std::string name_;
};

// The copy of the message the external editor works on: "HTMLMessage.html" in
// the private temporary folder, or the first free "HTMLMessage_2.html", ...
// when that is taken, created with O_EXCL. The previous copy is deleted when a
// new one is made, and the last one when the object goes.
class EditorFile {
  public:
    EditorFile() = default;
    ~EditorFile();
    EditorFile(const EditorFile&) = delete;
    EditorFile& operator=(const EditorFile&) = delete;

    // Writes the text to a new copy and answers its path; throws EError when
    // it cannot be written.
    const std::string& Create(std::string_view text);
    void Delete();
    const std::string& Name() const { return name_; }

  private:
    std::string name_;
};

}  // namespace app
