#pragma once

// The owning handle of an expression token, for headers that pass tokens around without
// looking inside them (exp_token.h has the token itself).

#include <memory>

namespace strata {

class TExpToken;

// Returns a token (and its subtree) to the pool.
struct ExpTokenReleaser {
    void operator()(TExpToken* token) const noexcept;
};
using ExpTokenPtr = std::unique_ptr<TExpToken, ExpTokenReleaser>;

}  // namespace strata
