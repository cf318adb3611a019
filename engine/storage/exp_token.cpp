#include "engine/storage/exp_token.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/nls/nls.h"

namespace strata {
namespace {

constexpr std::uint32_t kInitialValueSize = 251;

std::size_t BlockCapacity(std::size_t n) {
    return (n + kTokenValueBlock - 1) / kTokenValueBlock * kTokenValueBlock;
}

bool SameName(std::string_view a, std::string_view b) {
    return platform::nls::SameTextAnsi(a, b);
}

}  // namespace

void ExpTokenReleaser::operator()(TExpToken* token) const noexcept {
    ExpTokenStack().Put(token);
}

TExpToken::TExpToken() {
    value_.Resize(BlockCapacity(kInitialValueSize));
}

TExpToken::~TExpToken() = default;

void TExpToken::Reset() {
    Text.clear();
    Kind = kTokenNone;
    Code = 0;
    StatementMark = 2;
    JoinKind = 0;
    ColumnName.clear();
    FieldNumber = 0;
    TableName.clear();
    SourceTable = nullptr;
    SubSelect = nullptr;
    if (!value_.empty()) {
        std::memset(value_.data(), 0, value_.capacity());
    }
    IsNull = false;
    IsParameter = false;
    PartialLength = 0;
    NoCase = false;
    DataType = 0;
    SubType = 0;
    DataSize = 0;
    Scale = 0;
    ResolvedColumn = false;
    SavedType = 0;
    SavedSubType = 0;
    SavedSize = 0;
    SavedScale = 0;
    Parent = nullptr;
    First.reset();
    Second.reset();
    Third.reset();
}

void TExpToken::Assign(const TExpToken& source) {
    if (&source == this) {
        return;
    }
    if (value_.capacity() < source.value_.capacity()) {
        value_.Resize(source.value_.capacity());
    }
    if (!source.value_.empty()) {
        std::memcpy(value_.data(), source.value_.data(), source.value_.capacity());
    }
    Text = source.Text;
    Kind = source.Kind;
    Code = source.Code;
    StatementMark = source.StatementMark;
    JoinKind = source.JoinKind;
    ColumnName = source.ColumnName;
    FieldNumber = source.FieldNumber;
    TableName = source.TableName;
    SourceTable = source.SourceTable;
    SubSelect = source.SubSelect;
    IsNull = source.IsNull;
    IsParameter = source.IsParameter;
    PartialLength = source.PartialLength;
    NoCase = source.NoCase;
    DataType = source.DataType;
    SubType = source.SubType;
    DataSize = source.DataSize;
    Scale = source.Scale;
    ResolvedColumn = source.ResolvedColumn;
    SavedType = source.SavedType;
    SavedSubType = source.SavedSubType;
    SavedSize = source.SavedSize;
    SavedScale = source.SavedScale;
    Parent = source.Parent;
}

bool TExpToken::SameAs(const TExpToken& other) const {
    if (Kind != other.Kind || Code != other.Code || !SameName(ColumnName, other.ColumnName) ||
        !SameName(TableName, other.TableName) || IsParameter != other.IsParameter ||
        PartialLength != other.PartialLength || NoCase != other.NoCase ||
        DataType != other.DataType || SubType != other.SubType || DataSize != other.DataSize ||
        Scale != other.Scale) {
        return false;
    }
    if (Kind != kTokenConstant) {
        return true;
    }
    if (IsNull != other.IsNull) {
        return false;
    }
    const std::span<const std::byte> a = ValueBytes();
    const std::span<const std::byte> b = other.ValueBytes();
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

void TExpToken::SetDataSize(std::uint32_t n) {
    if (n == DataSize) {
        return;
    }
    if (n > value_.capacity()) {
        value_.Resize(BlockCapacity(n));
    }
    DataSize = n;
}

std::span<const std::byte> TExpToken::ValueBytes() const {
    return {value_.data(), std::min<std::size_t>(DataSize, value_.capacity())};
}

std::string_view TExpToken::ValueText() const {
    const auto* chars = reinterpret_cast<const char*>(value_.data());
    const std::size_t limit = value_.capacity();
    return {chars, chars == nullptr ? 0 : strnlen(chars, limit)};
}

void TExpToken::SetValueText(std::string_view text) {
    const auto size = static_cast<std::uint32_t>(text.size() + 1);
    SetDataSize(size);
    if (!text.empty()) {
        std::memcpy(value_.data(), text.data(), text.size());
    }
    value_.data()[text.size()] = std::byte{0};
}

TExpTokenStack::TExpTokenStack() {
    free_.reserve(1024);
}

TExpTokenStack::~TExpTokenStack() = default;

ExpTokenPtr TExpTokenStack::Get() {
    std::unique_ptr<TExpToken> token;
    {
        std::lock_guard guard(lock_);
        if (!free_.empty()) {
            token = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!token) {
        token = EngineNew<TExpToken>();
    }
    token->Reset();
    return ExpTokenPtr(token.release());
}

void TExpTokenStack::Put(TExpToken* token) noexcept {
    // Walks the subtree without recursion (an IN list or a long OR chain can be thousands of
    // nodes deep), using Parent as the link of the pending nodes.
    if (token != nullptr) {
        token->Parent = nullptr;
    }
    TExpToken* pending = token;
    while (pending != nullptr) {
        TExpToken* node = pending;
        pending = node->Parent;
        for (ExpTokenPtr* child : {&node->First, &node->Second, &node->Third}) {
            if (*child) {
                TExpToken* raw = child->release();
                raw->Parent = pending;
                pending = raw;
            }
        }
        node->Parent = nullptr;
        std::unique_ptr<TExpToken> owned(node);
        try {
            std::lock_guard guard(lock_);
            free_.push_back(std::move(owned));
        } catch (...) {
            // No room to keep it: the token is simply destroyed.
        }
    }
}

void TExpTokenStack::Put(ExpTokenPtr& token) {
    Put(token.release());
}

std::size_t TExpTokenStack::FreeCount() const {
    std::lock_guard guard(lock_);
    return free_.size();
}

void TExpTokenStack::Clear() {
    std::vector<std::unique_ptr<TExpToken>> doomed;
    {
        std::lock_guard guard(lock_);
        doomed.swap(free_);
        free_.reserve(1024);
    }
}

TExpTokenStack& ExpTokenStack() {
    // Never destroyed: tokens held by other static objects may come back during exit.
    static TExpTokenStack* const pool = new TExpTokenStack;
    return *pool;
}

ExpTokenPtr NewExpToken() {
    return ExpTokenStack().Get();
}

void ReleaseExpToken(ExpTokenPtr& token) {
    token.reset();
}

void FreeTokenTree(ExpTokenPtr& root) {
    root.reset();
}

// Both walk the tree with an explicit work list: an IN list, a BETWEEN chain or a long AND/OR
// chain can be tens of thousands of nodes deep on any side.
ExpTokenPtr CopyTokenTree(const TExpToken* root) {
    ExpTokenPtr result;
    if (root == nullptr) {
        return result;
    }
    std::unordered_map<const TExpToken*, TExpToken*> copies;
    std::vector<std::pair<const TExpToken*, ExpTokenPtr*>> work{{root, &result}};
    while (!work.empty()) {
        const auto [node, slot] = work.back();
        work.pop_back();
        ExpTokenPtr copy = NewExpToken();
        copy->Assign(*node);
        TExpToken* raw = copy.get();
        copies.emplace(node, raw);
        *slot = std::move(copy);
        if (node->Third) {
            work.emplace_back(node->Third.get(), &raw->Third);
        }
        if (node->Second) {
            work.emplace_back(node->Second.get(), &raw->Second);
        }
        if (node->First) {
            work.emplace_back(node->First.get(), &raw->First);
        }
    }
    // Links up to a node of the copied tree point to its copy; links out of it are kept.
    for (const auto& [original, copy] : copies) {
        if (const auto it = copies.find(original->Parent); it != copies.end()) {
            copy->Parent = it->second;
        }
    }
    return result;
}

bool TokenTreesEqual(const TExpToken* a, const TExpToken* b) {
    std::vector<std::pair<const TExpToken*, const TExpToken*>> work{{a, b}};
    while (!work.empty()) {
        const auto [x, y] = work.back();
        work.pop_back();
        if (x == nullptr || y == nullptr) {
            if (x != y) {
                return false;
            }
            continue;
        }
        if (!x->SameAs(*y)) {
            return false;
        }
        work.emplace_back(x->First.get(), y->First.get());
        work.emplace_back(x->Second.get(), y->Second.get());
        work.emplace_back(x->Third.get(), y->Third.get());
    }
    return true;
}

std::uint8_t AggregateFunctionCode(std::string_view name) {
    static constexpr std::pair<std::string_view, std::uint8_t> kCodes[] = {
        {"SUM", kOpSum}, {"COUNT", kOpCount}, {"MIN", kOpMin}, {"MAX", kOpMax}, {"AVG", kOpAvg}};
    for (const auto& [word, code] : kCodes) {
        if (SameName(name, word)) {
            return code;
        }
    }
    return 0;
}

}  // namespace strata
