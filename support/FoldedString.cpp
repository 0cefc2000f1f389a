#include "support/FoldedString.h"

#include <cwchar>
#include <new>
#include <utility>

namespace veska {

int CompareFolded(std::wstring_view a, std::wstring_view b) noexcept {
    const std::size_t common = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < common; ++i) {
        const wchar_t x = FoldUnit(a[i]);
        const wchar_t y = FoldUnit(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

FoldedString::Block* FoldedString::MakeBlock(std::wstring_view text, bool fold) {
    if (text.size() > UINT32_MAX - 1) throw std::bad_alloc();
    void* memory = ::operator new(offsetof(Block, text) + (text.size() + 1) * sizeof(wchar_t));
    Block* block = static_cast<Block*>(memory);
    block->length = static_cast<std::uint32_t>(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        block->text[i] = fold ? FoldUnit(text[i]) : text[i];
    }
    block->text[text.size()] = L'\0';
    return block;
}

FoldedString::FoldedString(const wchar_t* text)
    : block_(text ? MakeBlock(std::wstring_view(text, std::wcslen(text)), true) : nullptr) {}

FoldedString::FoldedString(std::wstring_view text) : block_(MakeBlock(text, true)) {}

FoldedString::~FoldedString() { ::operator delete(block_); }

FoldedString::FoldedString(const FoldedString& other)
    : block_(other.block_ ? MakeBlock(other.view(), false) : nullptr) {}

FoldedString& FoldedString::operator=(const FoldedString& other) {
    if (this != &other) {
        FoldedString copy(other);
        std::swap(block_, copy.block_);
    }
    return *this;
}

FoldedString::FoldedString(FoldedString&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}

FoldedString& FoldedString::operator=(FoldedString&& other) noexcept {
    if (this != &other) {
        ::operator delete(block_);
        block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
}

bool FoldedString::operator<(const FoldedString& other) const noexcept {
    if (block_ == nullptr || other.block_ == nullptr || block_ == other.block_) return false;
    return view().compare(other.view()) < 0;
}

bool FoldedString::EqualsIgnoreCase(const wchar_t* other) const noexcept {
    if (block_ == nullptr || other == nullptr) return false;
    const wchar_t* mine = block_->text;
    for (;; ++mine, ++other) {
        if (*mine != FoldUnit(*other)) return false;
        if (*mine == L'\0') return true;
    }
}

}  // namespace veska
