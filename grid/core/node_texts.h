#pragma once

// The display texts of a row's cells, kept in one block:
//
//   offset 0            uint32 count n
//   offset 4 + 4*i      uint32 end of text i (from the start of the bytes)
//   offset 4 + 4*n      the texts' bytes, one after the other
//
// A row of eight short texts then costs one allocation instead of a vector and eight
// strings, which is most of what a loaded row of a long list weighs. Setting one text
// builds the block again: rows are filled whole and changed one cell at a time by a user.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace grid {

class NodeTexts {
  public:
    NodeTexts() = default;
    NodeTexts(const NodeTexts& other);
    NodeTexts& operator=(const NodeTexts& other);
    NodeTexts(NodeTexts&&) noexcept = default;
    NodeTexts& operator=(NodeTexts&&) noexcept = default;

    std::size_t size() const;
    bool empty() const { return size() == 0; }
    // Requires: i < size().
    std::string_view operator[](std::size_t i) const;

    // count empty texts.
    void assign(std::size_t count);
    // Keeps the first count texts, adding empty ones as needed.
    void resize(std::size_t count);
    // Sets text i, adding empty texts before it as needed.
    void Set(std::size_t i, std::string_view text);
    // Removes text i (nothing when there is none).
    void erase(std::size_t i);
    // Moves text `from` to place `to`, the texts between shifting by one.
    void Move(std::size_t from, std::size_t to);
    // All texts at once.
    void Assign(std::span<const std::string> texts);

  private:
    std::size_t BlockSize() const;
    template <class Text>
    void Build(std::span<const Text> texts);

    std::unique_ptr<char[]> block_;
};

}  // namespace grid
