#pragma once

// The one place the program asks the user something: message boxes and input boxes.
// The program shows Qt dialogs; tests install a ScriptedPromptService so that no test
// ever blocks on a real dialog. This header is Qt-free so that any layer may ask.

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QPrinter;

namespace ui {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
using enum TMsgDlgType;

enum class TMsgDlgBtn {
    mbYes,
    mbNo,
    mbOK,
    mbCancel,
    mbAbort,
    mbRetry,
    mbIgnore,
    mbAll,
    mbNoToAll,
    mbYesToAll,
    mbHelp
};
using enum TMsgDlgBtn;

// A set of dialog buttons; the order of display is the enumeration's order.
class TMsgDlgButtons {
  public:
    constexpr TMsgDlgButtons() = default;
    constexpr TMsgDlgButtons(std::initializer_list<TMsgDlgBtn> buttons) {
        for (TMsgDlgBtn b : buttons)
            bits_ |= Bit(b);
    }
    constexpr bool Contains(TMsgDlgBtn b) const { return (bits_ & Bit(b)) != 0; }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr TMsgDlgButtons& operator+=(TMsgDlgBtn b) {
        bits_ |= Bit(b);
        return *this;
    }
    constexpr bool operator==(const TMsgDlgButtons&) const = default;
    std::vector<TMsgDlgBtn> Buttons() const;

  private:
    static constexpr std::uint32_t Bit(TMsgDlgBtn b) { return 1u << static_cast<unsigned>(b); }
    std::uint32_t bits_ = 0;
};

inline constexpr TMsgDlgButtons mbYesNo{mbYes, mbNo};
inline constexpr TMsgDlgButtons mbYesNoCancel{mbYes, mbNo, mbCancel};
inline constexpr TMsgDlgButtons mbOKCancel{mbOK, mbCancel};
inline constexpr TMsgDlgButtons mbAbortRetryIgnore{mbAbort, mbRetry, mbIgnore};

// Modal results keep the class library's numbering (dialog ids).
using TModalResult = int;
inline constexpr TModalResult mrNone = 0;
inline constexpr TModalResult mrOk = 1;
inline constexpr TModalResult mrCancel = 2;
inline constexpr TModalResult mrAbort = 3;
inline constexpr TModalResult mrRetry = 4;
inline constexpr TModalResult mrIgnore = 5;
inline constexpr TModalResult mrYes = 6;
inline constexpr TModalResult mrNo = 7;
inline constexpr TModalResult mrAll = 8;
inline constexpr TModalResult mrNoToAll = 9;
inline constexpr TModalResult mrYesToAll = 10;

// The modal result a button closes its box with (mbHelp: mrNone).
TModalResult ModalResultOf(TMsgDlgBtn button);
// "Warning", "Error", "Information", "Confirmation"; empty for mtCustom.
std::string_view DefaultCaption(TMsgDlgType type);

// One message box as asked for. An empty caption means the type's default caption
// (mtCustom: the application's title).
struct PromptRequest {
    std::string caption;
    std::string text;
    TMsgDlgType type = mtInformation;
    TMsgDlgButtons buttons{mbOK};
    std::optional<TMsgDlgBtn> default_button;  // none: the first button shown
    int help_context = 0;
};

// One input box as asked for.
struct InputRequest {
    std::string caption;
    std::string prompt;
    std::string value;
};

// One open or save file dialog as asked for. The filter has the class library's form:
// "description|patterns|description|patterns".
struct FileRequest {
    bool save = false;
    std::string title;
    std::string file_name;
    std::string initial_dir;
    std::string filter;
    int filter_index = 1;
    std::string default_ext;
};

// One print dialog as asked for; the answer is the number of copies chosen.
struct PrintRequest {
    std::string title;
    int copies = 1;
    // The printer the dialog sets up (printer, file, pages); null for none.
    QPrinter* printer = nullptr;
};

class PromptService {
  public:
    virtual ~PromptService() = default;
    // Shows a modal message box and returns the modal result of the button chosen
    // (closing the box by other means gives mrCancel, or the only button's result).
    virtual TModalResult Ask(const PromptRequest& request) = 0;
    // Shows a modal input box; nullopt when cancelled.
    virtual std::optional<std::string> Input(const InputRequest& request) = 0;
    // Shows an open or save dialog; the chosen path, nullopt when cancelled.
    virtual std::optional<std::string> ChooseFile(const FileRequest& request);
    // Shows the print dialog; the copies to print, nullopt when cancelled.
    virtual std::optional<int> ChoosePrint(const PrintRequest& request);
};

// The process-wide service. Unless one is installed, the program's Qt dialogs
// (or, without a QApplication, a non-interactive stand-in that writes to stderr
// and answers with the default button).
PromptService& Prompts();
// Installs a service and returns the one it replaces (null for the built-in one).
std::unique_ptr<PromptService> SetPromptService(std::unique_ptr<PromptService> service);

// Installs a service for one scope and restores the previous one afterwards.
class ScopedPromptService {
  public:
    explicit ScopedPromptService(std::unique_ptr<PromptService> service);
    ~ScopedPromptService();
    ScopedPromptService(const ScopedPromptService&) = delete;
    ScopedPromptService& operator=(const ScopedPromptService&) = delete;

  private:
    std::unique_ptr<PromptService> previous_;
};

// The class library's shapes, all going through Prompts().
TModalResult MessageDlg(std::string_view text, TMsgDlgType type, TMsgDlgButtons buttons,
                        int help_context = 0);
// A box with an explicit caption (the class library's Application.MessageBox).
TModalResult MessageBox(std::string_view text, std::string_view caption, TMsgDlgType type,
                        TMsgDlgButtons buttons);
void ShowMessage(std::string_view text);
// Reports a failure caught at the exception boundary (error box, OK).
void ShowException(std::string_view message);
// Returns the edited value, or default_value when cancelled.
std::string InputBox(std::string_view caption, std::string_view prompt,
                     std::string_view default_value);
// Edits value in place; false (value unchanged) when cancelled.
bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value);

// Answers boxes from a script, in order, and records every request. With the script
// exhausted it answers with the default button (input boxes: cancelled) and counts it
// as unscripted, so a test can assert that nothing unexpected was asked.
class ScriptedPromptService : public PromptService {
  public:
    void Answer(TModalResult result) { answers_.push_back(result); }
    void AnswerInput(std::optional<std::string> value) { inputs_.push_back(std::move(value)); }
    void AnswerFile(std::optional<std::string> path) { files_.push_back(std::move(path)); }
    void AnswerPrint(std::optional<int> copies) { prints_.push_back(copies); }

    TModalResult Ask(const PromptRequest& request) override;
    std::optional<std::string> Input(const InputRequest& request) override;
    std::optional<std::string> ChooseFile(const FileRequest& request) override;
    std::optional<int> ChoosePrint(const PrintRequest& request) override;

    const std::vector<PromptRequest>& Asked() const { return asked_; }
    const std::vector<InputRequest>& InputsAsked() const { return inputs_asked_; }
    const std::vector<FileRequest>& FilesAsked() const { return files_asked_; }
    int Unscripted() const { return unscripted_; }

  private:
    std::deque<TModalResult> answers_;
    std::deque<std::optional<std::string>> inputs_;
    std::deque<std::optional<std::string>> files_;
    std::deque<std::optional<int>> prints_;
    std::vector<PromptRequest> asked_;
    std::vector<InputRequest> inputs_asked_;
    std::vector<FileRequest> files_asked_;
    int unscripted_ = 0;
};

// The answer a box gives when the user just presses Enter.
TModalResult DefaultAnswer(const PromptRequest& request);

// A file dialog's filter in Qt's form, one "description (patterns)" per pair, patterns
// separated by blanks. A description that names its patterns in brackets already has that
// bracket replaced, so the dialog shows them once; "*.*" means every file.
std::vector<std::string> QtNameFilters(std::string_view filter);

}  // namespace ui
