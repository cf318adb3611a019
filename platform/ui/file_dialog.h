#pragma once

// The class library's open and save dialogs. They ask through the prompt service, so the
// program shows Qt's file dialog and tests answer from a script.

#include <string>
#include <string_view>

namespace ui {

class TFileDialog {
  public:
    explicit TFileDialog(bool save) : save_(save) {}
    std::string FileName() const { return file_name_; }
    void SetFileName(std::string_view name) { file_name_ = name; }
    // "description|patterns|description|patterns".
    void SetFilter(std::string_view filter) { filter_ = filter; }
    void SetFilterIndex(int index) { filter_index_ = index; }
    void SetInitialDir(std::string_view dir) { initial_dir_ = dir; }
    void SetDefaultExt(std::string_view ext) { default_ext_ = ext; }
    void SetTitle(std::string_view title) { title_ = title; }
    // True when the user chose a file; FileName then holds it.
    bool Execute();

  private:
    bool save_;
    std::string file_name_;
    std::string filter_;
    int filter_index_ = 1;
    std::string initial_dir_;
    std::string default_ext_;
    std::string title_;
};

class TOpenDialog : public TFileDialog {
  public:
    TOpenDialog() : TFileDialog(false) {}
};

class TSaveDialog : public TFileDialog {
  public:
    TSaveDialog() : TFileDialog(true) {}
};

}  // namespace ui
