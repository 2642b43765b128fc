/* One line of text for a message from the daemon (uses snprintf).
 * Copyright 2026 qz audio board developers. All rights reserved.
 * License: qz-proprietary (see qzlink.h). */
#ifndef QZ_DESCRIBE_H
#define QZ_DESCRIBE_H

#include "qzlink.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the line (no line end) into out; returns 0 for a decoded message,
 * 1 for an unknown one ("unknown"), -1 for one its decoder refused ("bad"). */
int qz_describe(char *out, size_t cap, const uint8_t *p, size_t n);

#ifdef __cplusplus
}
#endif

#endif
