// SPDX-License-Identifier: BSD-3-Clause
/* Test hooks of the stand-in utility library. */
#ifndef PENSTOCK_FOUNDATION_UTIL_TESTING_H
#define PENSTOCK_FOUNDATION_UTIL_TESTING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The next n calls of pmf_calloc fail (return NULL). */
void pmf_testing_fail_next_callocs(int32_t n);
/* Blocks from pmf_calloc not yet given back to pmf_free. */
int64_t pmf_testing_live_blocks(void);

#ifdef __cplusplus
}
#endif

#endif
