#include "platform/ui/file_dialog.h"

#include "platform/ui/prompt.h"

namespace ui {

bool TFileDialog::Execute() {
    FileRequest request;
    request.save = save_;
    request.title = title_;
    request.file_name = file_name_;
    request.initial_dir = initial_dir_;
    request.filter = filter_;
    request.filter_index = filter_index_;
    request.default_ext = default_ext_;
    auto chosen = Prompts().ChooseFile(request);
    if (!chosen)
        return false;
    file_name_ = *chosen;
    // A save dialog adds the default extension to a name typed without one.
    if (save_ && !default_ext_.empty()) {
        auto slash = file_name_.find_last_of('/');
        auto dot = file_name_.find_last_of('.');
        if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
            file_name_ += "." + default_ext_;
    }
    return true;
}

}  // namespace ui
