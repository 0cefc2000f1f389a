// Trace scopes for walks over the cache tree.
#pragma once

#include <cstddef>
#include <new>

#include "trace/TimeTrace.h"

namespace veska {

// The trace scopes of a walk over a tree that visits it level by level: one scope
// per level, entered when the walk goes down into the level and left when it
// comes back, as a recursive walk would open and close them. The scope records
// live on the heap, and only while a trace sink is loaded (without one a scope has
// no effect); when memory runs out the deeper levels go untraced.
class LevelScopes {
public:
    LevelScopes(const wchar_t* function, const wchar_t* file, int line) noexcept
        : function_(function), file_(file), line_(line) {}
    ~LevelScopes() {
        while (depth_ > 0) Leave();
    }
    LevelScopes(const LevelScopes&) = delete;
    LevelScopes& operator=(const LevelScopes&) = delete;

    void Enter() noexcept {
        // Records are kept for the uppermost levels only, without gaps.
        if (traced_ == depth_ && TimeTraceCallback != nullptr) {
            if (Link* link = new (std::nothrow) Link(function_, file_, line_, top_)) {
                top_ = link;
                ++traced_;
            }
        }
        ++depth_;
    }

    void Leave() noexcept {
        if (traced_ == depth_) {
            Link* link = top_;
            top_ = link->below;
            delete link;
            --traced_;
        }
        --depth_;
    }

private:
    struct Link {
        Link(const wchar_t* function, const wchar_t* file, int line, Link* under) noexcept
            : scope(function, file, line), below(under) {}
        TimeTraceScope scope;
        Link* below;
    };

    const wchar_t* function_;
    const wchar_t* file_;
    int line_;
    Link* top_ = nullptr;
    std::size_t depth_ = 0;
    std::size_t traced_ = 0;
};

}  // namespace veska
