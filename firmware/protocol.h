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
 * the longest on-time) switch the outputs at once and are reported when the caller asks.
 *
 * A power-on state per output: off (the default), on, or the last state the board reported for
 * it. A pulse never outlives a power cut: an output on for a pulse is remembered off. The last
 * states live in a ring of records in the EEPROM after the identifier, each record its sequence
 * number, the states and a check; every change of an output remembered so writes one record at
 * once, writing no byte that holds its value already. At power-on the newest record that passes
 * its check wins: a record torn by a power cut fails it, and the one before wins; a blank or
 * foreign EEPROM holds none (all off). Restored outputs start their longest on-time afresh, and
 * no two of an interlock group come back on together. */
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

/* The EEPROM: the identifier at 0 (its length, then up to 8 characters), the ring's mark at 15,
 * the ring of records from 16: sequence (2 bytes, low first), states (2), check (1). */
#define PROTOCOL_EEPROM_SIZE 1024u
#define PROTOCOL_RING_MARK_ADDRESS 15u
#define PROTOCOL_RING_MARK 0x56u /* the ring in this layout: another value, a foreign EEPROM */
#define PROTOCOL_RING_START 16u
#define PROTOCOL_RECORD_SIZE 5u
#define PROTOCOL_RING_RECORDS_MAX                                                                  \
    ((PROTOCOL_EEPROM_SIZE - PROTOCOL_RING_START) / PROTOCOL_RECORD_SIZE)

enum
{
    PROTOCOL_POWER_OFF = 0,
    PROTOCOL_POWER_ON = 1,
    PROTOCOL_POWER_LAST = 2,
};

typedef struct
{
    void (*put)(void *context, char c);            /* one reply byte */
    void (*apply)(void *context, uint16_t states); /* bit n-1 set: output n on */
    /* The EEPROM, for power-on states that are the last ones; both null without it. store
     * writes the byte only when it differs from what the cell holds. */
    uint8_t (*load)(void *context, uint16_t address);
    void (*store)(void *context, uint16_t address, uint8_t value);
    void *context;
} protocol_io;

typedef struct
{
    uint8_t group[PROTOCOL_OUTPUTS_MAX];    /* output n's interlock group at n-1; 0: none */
    uint16_t dead_ms;                       /* a group all off before one of it goes on */
    uint32_t max_on_ms;                     /* the longest on-time; 0: none */
    uint8_t power_on[PROTOCOL_OUTPUTS_MAX]; /* output n's power-on state at n-1: PROTOCOL_POWER_* */
    uint16_t ring_records;                  /* the ring's length; 0: no last states kept */
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
    uint16_t pulsed;     /* on for a pulse: remembered off */
    uint16_t remembered; /* the last states the ring holds */
    uint16_t next_slot;  /* where the ring's next record goes */
    uint16_t next_sequence;
    bool ring_marked; /* the ring is this layout's, its mark written */
    uint32_t due[PROTOCOL_OUTPUTS_MAX];
    uint32_t pulse[PROTOCOL_OUTPUTS_MAX]; /* a starting output's pulse; 0: none */
    uint32_t now;
    char line[PROTOCOL_LINE_MAX];
    uint8_t length;
    bool discarding; /* an over-long line, up to its CR */
} protocol;

/* The outputs at their power-on states (restored before anything is received), at time now. The
 * identifier is cut to PROTOCOL_ID_MAX, the outputs to 1..16, the longest on-time to
 * PROTOCOL_MAX_ON_MAX seconds, the ring to PROTOCOL_RING_RECORDS_MAX records. */
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

/* Reads power-on states written as "1:last 2:on" (output, colon, off, on or last; apart by
 * blanks) into options->power_on. False, with options untouched, for a bad text: an unknown mode
 * or output, an output named twice, on for two outputs of one interlock group (the groups read
 * before). */
bool protocol_parse_power_on(const char *text, uint8_t outputs, protocol_options *options);

#endif
