#pragma once
// Zeroing of secrets (keys, decrypted text) that the optimiser may not drop because the memory
// is about to be freed or go out of scope.

#include <cstddef>

void SecureWipe(void* p, size_t n) noexcept;
