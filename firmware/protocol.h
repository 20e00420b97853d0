// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

/* The controller's side of the line protocol, free of any hardware: bytes in, reply bytes and
 * output states out. Built for the board and, unchanged, for the host's unit tests.
 *
 * A frame is the identifier, a verb and CR; LFs are ignored. Frames for another identifier,
 * unknown verbs, output numbers out of range or with a leading zero, and over-long lines are
 * ignored without an answer. Every answer line ends with CR:
 *   <id>AT          -> <id>OK
 *   <id>OA          -> <id>O<n>H or <id>O<n>L for every output n
 *   <id>O<n>H / L   -> switches output n on / off, then its state line
 *   <id>OAH / OAL   -> switches every output on / off, then every state line */
#ifndef VANTRELO_PROTOCOL_H
#define VANTRELO_PROTOCOL_H

#include <stdbool.h>
#include <stdint.h>

#define PROTOCOL_ID_MAX 8    /* characters of the identifier */
#define PROTOCOL_LINE_MAX 32 /* characters of a frame before its CR */
#define PROTOCOL_OUTPUTS_MAX 16
/* The most bytes one frame makes the controller send: every state line. */
#define PROTOCOL_REPLY_MAX (PROTOCOL_OUTPUTS_MAX * (PROTOCOL_ID_MAX + 5))

typedef struct
{
    void (*put)(void *context, char c);            /* one reply byte */
    void (*apply)(void *context, uint16_t states); /* bit n-1 set: output n on */
    void *context;
} protocol_io;

typedef struct
{
    protocol_io io;
    char id[PROTOCOL_ID_MAX];
    uint8_t id_length;
    uint8_t outputs;
    uint16_t states;
    char line[PROTOCOL_LINE_MAX];
    uint8_t length;
    bool discarding; /* an over-long line, up to its CR */
} protocol;

/* All outputs off. The identifier is cut to PROTOCOL_ID_MAX, the outputs to 1..16. */
void protocol_init(protocol *p, const char *id, uint8_t id_length, uint8_t outputs, protocol_io io);
void protocol_receive(protocol *p, char c);

#endif
