// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

/* The controller's side of the line protocol, free of any hardware: bytes and the time in, reply
 * bytes and output states out. Built for the board, for the simulator and, unchanged, for the
 * host's unit tests.
 *
 * A frame is the identifier, a verb and CR; LFs are ignored. Frames for another identifier,
 * unknown verbs, output numbers out of range or with a leading zero, bad times and over-long
 * lines are ignored without an answer. Every answer line ends with CR:
 *   <id>AT          -> <id>OK
 *   <id>OA          -> <id>O<n>H or <id>O<n>L for every output n
 *   <id>O<n>H / L   -> switches output n on / off, then its state line
 *   <id>O<n>P<ms>   -> switches output n on, and off again ms milliseconds later (1 to
 *                      86,400,000): its state line now, and again when the pulse ends. A new P
 *                      restarts the time, L ends the pulse early, H keeps the output on.
 *   <id>OAH / OAL   -> switches every output on / off, then every state line
 *
 * Interlock groups: switching on an output of a group first switches the others of the group off
 * (and reports them), waits the dead time with all of them off, then switches it on and reports
 * it; no two outputs of a group are ever on together. OAH leaves the grouped outputs as they
 * are. A longest on-time switches off (and reports) an output that has been on that long since
 * the last command for it; a longer pulse is cut to it.
 *
 * Time is a free-running millisecond counter that wraps around; intervals up to 24 days are
 * measured across the wrap. Changes the clock makes (a pulse's end, a start after the dead time,
 * the longest on-time) switch the outputs at once and are reported when the caller asks. */
#ifndef VANTRELO_PROTOCOL_H
#define VANTRELO_PROTOCOL_H

#include <stdbool.h>
#include <stdint.h>

#define PROTOCOL_ID_MAX 8    /* characters of the identifier */
#define PROTOCOL_LINE_MAX 32 /* characters of a frame before its CR */
#define PROTOCOL_OUTPUTS_MAX 16
#define PROTOCOL_PULSE_MAX 86400000UL /* a day, in milliseconds */
#define PROTOCOL_MAX_ON_MAX 2073600UL /* seconds: 24 days, within the clock's half range */
/* The most bytes one frame, or one call of protocol_send_reports, makes the controller send:
 * every state line. */
#define PROTOCOL_REPLY_MAX (PROTOCOL_OUTPUTS_MAX * (PROTOCOL_ID_MAX + 5))
#define PROTOCOL_NOTHING_DUE UINT32_MAX

typedef struct
{
    void (*put)(void *context, char c);            /* one reply byte */
    void (*apply)(void *context, uint16_t states); /* bit n-1 set: output n on */
    void *context;
} protocol_io;

typedef struct
{
    uint8_t group[PROTOCOL_OUTPUTS_MAX]; /* output n's interlock group at n-1; 0: none */
    uint16_t dead_ms;                    /* a group all off before one of it goes on */
    uint32_t max_on_ms;                  /* the longest on-time; 0: none */
} protocol_options;

typedef struct
{
    protocol_io io;
    protocol_options options;
    char id[PROTOCOL_ID_MAX];
    uint8_t id_length;
    uint8_t outputs;
    uint16_t states;     /* on now */
    uint16_t starting;   /* waiting for their group's dead time to go on */
    uint16_t timed;      /* with a due time: going off when on, going on when starting */
    uint16_t unreported; /* changed by the clock, not reported since */
    uint32_t due[PROTOCOL_OUTPUTS_MAX];
    uint32_t pulse[PROTOCOL_OUTPUTS_MAX]; /* a starting output's pulse; 0: none */
    uint32_t now;
    char line[PROTOCOL_LINE_MAX];
    uint8_t length;
    bool discarding; /* an over-long line, up to its CR */
} protocol;

/* All outputs off, at time now. The identifier is cut to PROTOCOL_ID_MAX, the outputs to 1..16,
 * the longest on-time to PROTOCOL_MAX_ON_MAX seconds. */
void protocol_init(protocol *p, const char *id, uint8_t id_length, uint8_t outputs,
                   const protocol_options *options, protocol_io io, uint32_t now);
/* One received byte, at the time of the last protocol_tick. */
void protocol_receive(protocol *p, char c);
/* The time now: switches what is due by then. */
void protocol_tick(protocol *p, uint32_t now);
/* Milliseconds from now to the next thing due, 0 when it is due already, or
 * PROTOCOL_NOTHING_DUE. */
uint32_t protocol_next_due(const protocol *p, uint32_t now);
/* Output n switched by the board itself (a button on it), as a command would, interlock and
 * longest on-time included, and reported; the line being received is not touched. */
void protocol_switch(protocol *p, uint8_t n, bool on);
/* The state lines of the outputs the clock changed since they were last reported. */
bool protocol_has_reports(const protocol *p);
void protocol_send_reports(protocol *p);

/* Reads interlock groups written as "1,2 3,4" (outputs separated by commas, groups by blanks)
 * into options->group. False, with options untouched, for a bad text: an output outside
 * 1..outputs, one in two groups, a group of one. */
bool protocol_parse_groups(const char *text, uint8_t outputs, protocol_options *options);

#endif
