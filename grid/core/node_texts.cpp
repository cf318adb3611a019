#include "grid/core/node_texts.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace grid {
namespace {

std::uint32_t Read32(const char* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void Write32(char* at, std::uint32_t value) {
    std::memcpy(at, &value, sizeof value);
}

std::string_view View(std::string_view text) {
    return text;
}

std::string_view View(const std::string& text) {
    return text;
}

}  // namespace

NodeTexts::NodeTexts(const NodeTexts& other) {
    if (other.block_) {
        const std::size_t bytes = other.BlockSize();
        block_ = std::make_unique_for_overwrite<char[]>(bytes);
        std::memcpy(block_.get(), other.block_.get(), bytes);
    }
}

NodeTexts& NodeTexts::operator=(const NodeTexts& other) {
    if (this != &other)
        *this = NodeTexts(other);
    return *this;
}

std::size_t NodeTexts::size() const {
    return block_ ? Read32(block_.get()) : 0;
}

std::size_t NodeTexts::BlockSize() const {
    const std::size_t n = size();
    return 4 + 4 * n + (n > 0 ? Read32(block_.get() + 4 * n) : 0);
}

std::string_view NodeTexts::operator[](std::size_t i) const {
    assert(i < size());
    const char* base = block_.get();
    const std::size_t n = Read32(base);
    const std::size_t begin = i == 0 ? 0 : Read32(base + 4 * i);
    const std::size_t end = Read32(base + 4 + 4 * i);
    return {base + 4 + 4 * n + begin, end - begin};
}

template <class Text>
void NodeTexts::Build(std::span<const Text> texts) {
    if (texts.empty()) {
        block_.reset();
        return;
    }
    std::size_t bytes = 0;
    for (const Text& text : texts)
        bytes += View(text).size();
    if (texts.size() > UINT32_MAX / 8 || bytes > UINT32_MAX / 2)
        throw std::length_error("a row's texts are too long");
    const std::size_t head = 4 + 4 * texts.size();
    auto block = std::make_unique_for_overwrite<char[]>(head + bytes);
    Write32(block.get(), static_cast<std::uint32_t>(texts.size()));
    std::size_t end = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string_view text = View(texts[i]);
        if (!text.empty())
            std::memcpy(block.get() + head + end, text.data(), text.size());
        end += text.size();
        Write32(block.get() + 4 + 4 * i, static_cast<std::uint32_t>(end));
    }
    block_ = std::move(block);
}

void NodeTexts::Assign(std::span<const std::string> texts) {
    Build(texts);
}

void NodeTexts::assign(std::size_t count) {
    const std::vector<std::string_view> texts(count);
    Build(std::span<const std::string_view>(texts));
}

void NodeTexts::resize(std::size_t count) {
    std::vector<std::string_view> texts(count);
    for (std::size_t i = 0; i < count && i < size(); ++i)
        texts[i] = (*this)[i];
    // The views point into the old block, which lives until the new one is built.
    Build(std::span<const std::string_view>(texts));
}

void NodeTexts::Set(std::size_t i, std::string_view text) {
    std::vector<std::string_view> texts(std::max(size(), i + 1));
    for (std::size_t k = 0; k < size(); ++k)
        texts[k] = (*this)[k];
    // A text of this row itself stays readable: the old block goes only once the new one
    // is built.
    texts[i] = text;
    Build(std::span<const std::string_view>(texts));
}

void NodeTexts::erase(std::size_t i) {
    if (i >= size())
        return;
    std::vector<std::string_view> texts;
    texts.reserve(size() - 1);
    for (std::size_t k = 0; k < size(); ++k)
        if (k != i)
            texts.push_back((*this)[k]);
    Build(std::span<const std::string_view>(texts));
}

void NodeTexts::Move(std::size_t from, std::size_t to) {
    if (std::max(from, to) >= size())
        resize(std::max(from, to) + 1);
    std::vector<std::string_view> texts;
    texts.reserve(size());
    for (std::size_t k = 0; k < size(); ++k)
        texts.push_back((*this)[k]);
    const std::string_view moved = texts[from];
    texts.erase(texts.begin() + static_cast<std::ptrdiff_t>(from));
    texts.insert(texts.begin() + static_cast<std::ptrdiff_t>(to), moved);
    Build(std::span<const std::string_view>(texts));
}

}  // namespace grid
