#include "platform/ui/prompt.h"

#include <utility>

namespace ui {

// Defined beside the Qt dialogs; the header stays free of Qt.
std::unique_ptr<PromptService> MakeDefaultPromptService();

namespace {

std::unique_ptr<PromptService>& InstalledService() {
    static std::unique_ptr<PromptService> service;
    return service;
}

std::unique_ptr<PromptService>& BuiltInService() {
    static std::unique_ptr<PromptService> service = MakeDefaultPromptService();
    return service;
}

}  // namespace

std::vector<TMsgDlgBtn> TMsgDlgButtons::Buttons() const {
    std::vector<TMsgDlgBtn> out;
    for (unsigned i = 0; i <= static_cast<unsigned>(mbHelp); ++i) {
        auto b = static_cast<TMsgDlgBtn>(i);
        if (Contains(b))
            out.push_back(b);
    }
    return out;
}

TModalResult ModalResultOf(TMsgDlgBtn button) {
    switch (button) {
        case mbYes:
            return mrYes;
        case mbNo:
            return mrNo;
        case mbOK:
            return mrOk;
        case mbCancel:
            return mrCancel;
        case mbAbort:
            return mrAbort;
        case mbRetry:
            return mrRetry;
        case mbIgnore:
            return mrIgnore;
        case mbAll:
            return mrAll;
        case mbNoToAll:
            return mrNoToAll;
        case mbYesToAll:
            return mrYesToAll;
        case mbHelp:
            return mrNone;
    }
    return mrNone;
}

std::string_view DefaultCaption(TMsgDlgType type) {
    switch (type) {
        case mtWarning:
            return "Warning";
        case mtError:
            return "Error";
        case mtInformation:
            return "Information";
        case mtConfirmation:
            return "Confirmation";
        case mtCustom:
            return "";
    }
    return "";
}

TModalResult DefaultAnswer(const PromptRequest& request) {
    if (request.default_button)
        return ModalResultOf(*request.default_button);
    for (TMsgDlgBtn b : request.buttons.Buttons())
        if (b != mbHelp)
            return ModalResultOf(b);
    return mrOk;
}

PromptService& Prompts() {
    if (auto& installed = InstalledService())
        return *installed;
    return *BuiltInService();
}

std::unique_ptr<PromptService> SetPromptService(std::unique_ptr<PromptService> service) {
    return std::exchange(InstalledService(), std::move(service));
}

ScopedPromptService::ScopedPromptService(std::unique_ptr<PromptService> service)
    : previous_(SetPromptService(std::move(service))) {}

ScopedPromptService::~ScopedPromptService() {
    SetPromptService(std::move(previous_));
}

TModalResult MessageDlg(std::string_view text, TMsgDlgType type, TMsgDlgButtons buttons,
                        int help_context) {
    PromptRequest request;
    request.text = text;
    request.type = type;
    request.buttons = buttons;
    request.help_context = help_context;
    return Prompts().Ask(request);
}

TModalResult MessageBox(std::string_view text, std::string_view caption, TMsgDlgType type,
                        TMsgDlgButtons buttons) {
    PromptRequest request;
    request.caption = caption;
    request.text = text;
    request.type = type;
    request.buttons = buttons;
    return Prompts().Ask(request);
}

void ShowMessage(std::string_view text) {
    MessageBox(text, "", mtCustom, {mbOK});
}

void ShowException(std::string_view message) {
    MessageBox(message, "", mtError, {mbOK});
}

std::string InputBox(std::string_view caption, std::string_view prompt,
                     std::string_view default_value) {
    std::string value(default_value);
    InputQuery(caption, prompt, value);
    return value;
}

bool InputQuery(std::string_view caption, std::string_view prompt, std::string& value) {
    InputRequest request{std::string(caption), std::string(prompt), value};
    auto answer = Prompts().Input(request);
    if (!answer)
        return false;
    value = std::move(*answer);
    return true;
}

TModalResult ScriptedPromptService::Ask(const PromptRequest& request) {
    asked_.push_back(request);
    if (answers_.empty()) {
        ++unscripted_;
        return DefaultAnswer(request);
    }
    TModalResult result = answers_.front();
    answers_.pop_front();
    return result;
}

std::optional<std::string> ScriptedPromptService::Input(const InputRequest& request) {
    inputs_asked_.push_back(request);
    if (inputs_.empty()) {
        ++unscripted_;
        return std::nullopt;
    }
    auto value = std::move(inputs_.front());
    inputs_.pop_front();
    return value;
}

std::optional<std::string> PromptService::ChooseFile(const FileRequest&) {
    return std::nullopt;
}

std::optional<int> PromptService::ChoosePrint(const PrintRequest& request) {
    return request.copies;
}

std::optional<std::string> ScriptedPromptService::ChooseFile(const FileRequest& request) {
    files_asked_.push_back(request);
    if (files_.empty()) {
        ++unscripted_;
        return std::nullopt;
    }
    auto path = std::move(files_.front());
    files_.pop_front();
    return path;
}

std::optional<int> ScriptedPromptService::ChoosePrint(const PrintRequest& request) {
    if (prints_.empty()) {
        ++unscripted_;
        return request.copies;
    }
    auto copies = prints_.front();
    prints_.pop_front();
    return copies;
}

}  // namespace ui
