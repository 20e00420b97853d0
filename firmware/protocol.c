// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "protocol.h"

#include <string.h>

#define BIT(n) ((uint16_t)(1u << ((n)-1)))

static void put_id(const protocol *p)
{
    for (uint8_t i = 0; i < p->id_length; ++i)
        p->io.put(p->io.context, p->id[i]);
}

static void report(protocol *p, uint8_t n)
{
    p->unreported &= (uint16_t)~BIT(n);
    put_id(p);
    p->io.put(p->io.context, 'O');
    if (n >= 10)
        p->io.put(p->io.context, (char)('0' + n / 10));
    p->io.put(p->io.context, (char)('0' + n % 10));
    p->io.put(p->io.context, (p->states & BIT(n)) ? 'H' : 'L');
    p->io.put(p->io.context, '\r');
}

static void report_all(protocol *p)
{
    for (uint8_t n = 1; n <= p->outputs; ++n)
        report(p, n);
}

static bool is(const char *verb, uint8_t length, const char *text)
{
    return length == strlen(text) && memcmp(verb, text, length) == 0;
}

/* Decimal digits with no sign and no leading zero, at most `max`; 0 for anything else. */
static uint32_t number(const char *digits, uint8_t length, uint32_t max)
{
    if (length < 1 || length > 8 || digits[0] < '1' || digits[0] > '9')
        return 0;
    uint32_t value = 0;
    for (uint8_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return 0;
        value = value * 10u + (uint32_t)(digits[i] - '0');
    }
    return value <= max ? value : 0;
}

/* Whether the time has come; right across the counter's wrap-around. */
static bool reached(uint32_t now, uint32_t due)
{
    return (int32_t)(now - due) >= 0;
}

static void apply(protocol *p)
{
    p->io.apply(p->io.context, p->states);
}

/* The outputs whose power-on state is their last one. */
static uint16_t last_ones(const protocol *p)
{
    uint16_t mask = 0;
    for (uint8_t n = 1; n <= p->outputs; ++n)
        if (p->options.power_on[n - 1] == PROTOCOL_POWER_LAST)
            mask |= BIT(n);
    return mask;
}

static bool keeps_memory(const protocol *p)
{
    return p->io.load && p->io.store && p->options.ring_records && last_ones(p);
}

/* CRC-8 (x^8 + x^2 + x + 1) of a record's first four bytes, from 0x5A, so that a blank record
 * (all 0xFF) fails; four bits a step, so that the whole ring is read in the first milliseconds. */
static uint8_t record_check(const uint8_t *bytes)
{
    static const uint8_t nibble[16] = {0x00, 0x07, 0x0E, 0x09, 0x1C, 0x1B, 0x12, 0x15,
                                       0x38, 0x3F, 0x36, 0x31, 0x24, 0x23, 0x2A, 0x2D};
    uint8_t crc = 0x5A;
    for (uint8_t i = 0; i < PROTOCOL_RECORD_SIZE - 1; ++i) {
        crc ^= bytes[i];
        crc = (uint8_t)(crc << 4) ^ nibble[crc >> 4];
        crc = (uint8_t)(crc << 4) ^ nibble[crc >> 4];
    }
    return crc;
}

/* The states of the newest record that passes its check (sequence numbers compared across their
 * wrap-around), and where the next record goes; nothing on a blank or foreign EEPROM. */
static uint16_t ring_read(protocol *p)
{
    p->ring_marked = p->io.load(p->io.context, PROTOCOL_RING_MARK_ADDRESS) == PROTOCOL_RING_MARK;
    p->next_slot = 0;
    p->next_sequence = 0;
    if (!p->ring_marked)
        return 0;
    bool found = false;
    uint16_t newest = 0, states = 0;
    for (uint16_t slot = 0; slot < p->options.ring_records; ++slot) {
        uint8_t bytes[PROTOCOL_RECORD_SIZE];
        for (uint8_t i = 0; i < PROTOCOL_RECORD_SIZE; ++i)
            bytes[i] = p->io.load(
                p->io.context, (uint16_t)(PROTOCOL_RING_START + slot * PROTOCOL_RECORD_SIZE + i));
        if (record_check(bytes) != bytes[4])
            continue;
        const uint16_t sequence = (uint16_t)(bytes[0] | bytes[1] << 8);
        if (found && (int16_t)(sequence - newest) <= 0)
            continue;
        found = true;
        newest = sequence;
        states = (uint16_t)(bytes[2] | bytes[3] << 8);
        p->next_slot = (uint16_t)((slot + 1) % p->options.ring_records);
        p->next_sequence = (uint16_t)(sequence + 1);
    }
    return states;
}

/* One record, its check written last. A ring found foreign (or blank) is cleared first and
 * marked as this layout's, so that no old byte can pass for a record. */
static void ring_write(protocol *p, uint16_t states)
{
    if (!p->ring_marked) {
        for (uint16_t a = 0; a < p->options.ring_records * PROTOCOL_RECORD_SIZE; ++a)
            p->io.store(p->io.context, (uint16_t)(PROTOCOL_RING_START + a), 0xFF);
        p->io.store(p->io.context, PROTOCOL_RING_MARK_ADDRESS, PROTOCOL_RING_MARK);
        p->ring_marked = true;
        p->next_slot = 0;
        p->next_sequence = 0;
    }
    uint8_t bytes[PROTOCOL_RECORD_SIZE] = {(uint8_t)p->next_sequence,
                                           (uint8_t)(p->next_sequence >> 8), (uint8_t)states,
                                           (uint8_t)(states >> 8), 0};
    bytes[4] = record_check(bytes);
    const uint16_t at = (uint16_t)(PROTOCOL_RING_START + p->next_slot * PROTOCOL_RECORD_SIZE);
    for (uint8_t i = 0; i < PROTOCOL_RECORD_SIZE; ++i)
        p->io.store(p->io.context, (uint16_t)(at + i), bytes[i]);
    p->next_slot = (uint16_t)((p->next_slot + 1) % p->options.ring_records);
    ++p->next_sequence;
}

/* The outputs switched: the pins, then a record when a remembered state changed. An output on for
 * a pulse is remembered off: a pulse never outlives a power cut. */
static void changed(protocol *p)
{
    apply(p);
    if (!keeps_memory(p))
        return;
    const uint16_t now = p->states & (uint16_t)~p->pulsed & last_ones(p);
    if (now == p->remembered)
        return;
    ring_write(p, now);
    p->remembered = now;
}

/* An output on from now: it goes off after its pulse, or after the longest on-time. */
static void set_on(protocol *p, uint8_t n, uint32_t pulse_ms)
{
    const uint32_t limit = p->options.max_on_ms;
    const uint32_t on_for = pulse_ms && (!limit || pulse_ms < limit) ? pulse_ms : limit;
    p->states |= BIT(n);
    p->starting &= (uint16_t)~BIT(n);
    if (pulse_ms)
        p->pulsed |= BIT(n);
    else
        p->pulsed &= (uint16_t)~BIT(n);
    if (on_for) {
        p->due[n - 1] = p->now + on_for;
        p->timed |= BIT(n);
    } else {
        p->timed &= (uint16_t)~BIT(n);
    }
}

static void set_off(protocol *p, uint8_t n)
{
    p->states &= (uint16_t)~BIT(n);
    p->starting &= (uint16_t)~BIT(n);
    p->timed &= (uint16_t)~BIT(n);
    p->pulsed &= (uint16_t)~BIT(n);
}

/* A command that switches output n on (for a pulse, when pulse_ms is not 0). */
static void switch_on(protocol *p, uint8_t n, uint32_t pulse_ms)
{
    const uint8_t group = p->options.group[n - 1];
    if ((p->states & BIT(n)) || !group) {
        set_on(p, n, pulse_ms); /* on already: a new time, or none */
        changed(p);
        report(p, n);
        return;
    }
    if (p->starting & BIT(n)) { /* waiting already: the pulse is the latest command's */
        p->pulse[n - 1] = pulse_ms;
        return;
    }
    for (uint8_t m = 1; m <= p->outputs; ++m) {
        if (m == n || p->options.group[m - 1] != group || !((p->states | p->starting) & BIT(m)))
            continue;
        set_off(p, m);
        changed(p);
        report(p, m);
    }
    if (!p->options.dead_ms) {
        set_on(p, n, pulse_ms);
        changed(p);
        report(p, n);
        return;
    }
    p->starting |= BIT(n);
    p->timed |= BIT(n);
    p->due[n - 1] = p->now + p->options.dead_ms;
    p->pulse[n - 1] = pulse_ms;
}

void protocol_switch(protocol *p, uint8_t n, bool on)
{
    if (n < 1 || n > p->outputs)
        return;
    if (on) {
        switch_on(p, n, 0);
    } else {
        set_off(p, n);
        changed(p);
        report(p, n);
    }
}

static void handle(protocol *p)
{
    if (p->length < p->id_length || memcmp(p->line, p->id, p->id_length) != 0)
        return;
    const char *verb = p->line + p->id_length;
    const uint8_t length = (uint8_t)(p->length - p->id_length);
    if (is(verb, length, "AT")) {
        put_id(p);
        p->io.put(p->io.context, 'O');
        p->io.put(p->io.context, 'K');
        p->io.put(p->io.context, '\r');
    } else if (is(verb, length, "OA")) {
        report_all(p);
    } else if (is(verb, length, "OAH")) {
        for (uint8_t n = 1; n <= p->outputs; ++n)
            if (!p->options.group[n - 1])
                set_on(p, n, 0);
        changed(p);
        report_all(p);
    } else if (is(verb, length, "OAL")) {
        p->states = p->starting = p->timed = p->pulsed = 0;
        changed(p);
        report_all(p);
    } else if (length >= 3 && verb[0] == 'O') {
        /* O<n>H, O<n>L, O<n>P<ms>: the output's digits end at the first letter. */
        uint8_t end = 1;
        while (end < length && verb[end] >= '0' && verb[end] <= '9')
            ++end;
        const uint8_t n = (uint8_t)number(verb + 1, (uint8_t)(end - 1), p->outputs);
        if (!n || end == length)
            return;
        const char what = verb[end];
        if ((what == 'H' || what == 'L') && end + 1 == length) {
            protocol_switch(p, n, what == 'H');
        } else if (what == 'P') {
            const uint32_t ms =
                number(verb + end + 1, (uint8_t)(length - end - 1), PROTOCOL_PULSE_MAX);
            if (ms)
                switch_on(p, n, ms);
        }
    }
}

void protocol_init(protocol *p, const char *id, uint8_t id_length, uint8_t outputs,
                   const protocol_options *options, protocol_io io, uint32_t now)
{
    memset(p, 0, sizeof *p);
    p->io = io;
    if (options)
        p->options = *options;
    if (p->options.max_on_ms > PROTOCOL_MAX_ON_MAX * 1000u)
        p->options.max_on_ms = PROTOCOL_MAX_ON_MAX * 1000u;
    p->id_length = id_length < PROTOCOL_ID_MAX ? id_length : PROTOCOL_ID_MAX;
    memcpy(p->id, id, p->id_length);
    p->outputs = outputs < 1 ? 1 : outputs > PROTOCOL_OUTPUTS_MAX ? PROTOCOL_OUTPUTS_MAX : outputs;
    if (p->options.ring_records > PROTOCOL_RING_RECORDS_MAX)
        p->options.ring_records = PROTOCOL_RING_RECORDS_MAX;
    p->now = now;
    /* The power-on states, before the pins are first set: on, and the last ones remembered; of
     * an interlock group the first alone. */
    uint16_t wanted = keeps_memory(p) ? (uint16_t)(ring_read(p) & last_ones(p)) : 0;
    p->remembered = wanted;
    for (uint8_t n = 1; n <= p->outputs; ++n)
        if (p->options.power_on[n - 1] == PROTOCOL_POWER_ON)
            wanted |= BIT(n);
    for (uint8_t n = 1; n <= p->outputs; ++n) {
        if (!(wanted & BIT(n)))
            continue;
        bool grouped_on = false;
        for (uint8_t m = 1; m < n; ++m)
            grouped_on = grouped_on || (p->options.group[n - 1] &&
                                        p->options.group[m - 1] == p->options.group[n - 1] &&
                                        (p->states & BIT(m)));
        if (!grouped_on)
            set_on(p, n, 0); /* its longest on-time afresh */
    }
    apply(p);
}

void protocol_receive(protocol *p, char c)
{
    if (c == '\n')
        return;
    if (c == '\r') {
        if (!p->discarding && p->length > 0)
            handle(p);
        p->length = 0;
        p->discarding = false;
    } else if (!p->discarding) {
        if (p->length == PROTOCOL_LINE_MAX) {
            p->discarding = true; /* dropped up to the next CR */
            p->length = 0;
        } else {
            p->line[p->length++] = c;
        }
    }
}

void protocol_tick(protocol *p, uint32_t now)
{
    p->now = now;
    bool switched = false;
    for (uint8_t n = 1; n <= p->outputs; ++n) {
        if (!(p->timed & BIT(n)) || !reached(now, p->due[n - 1]))
            continue;
        if (p->starting & BIT(n))
            set_on(p, n, p->pulse[n - 1]);
        else
            set_off(p, n);
        p->unreported |= BIT(n);
        switched = true;
    }
    if (switched)
        changed(p);
}

uint32_t protocol_next_due(const protocol *p, uint32_t now)
{
    uint32_t next = PROTOCOL_NOTHING_DUE;
    for (uint8_t n = 1; n <= p->outputs; ++n) {
        if (!(p->timed & BIT(n)))
            continue;
        if (reached(now, p->due[n - 1]))
            return 0;
        if (p->due[n - 1] - now < next)
            next = p->due[n - 1] - now;
    }
    return next;
}

bool protocol_has_reports(const protocol *p)
{
    return p->unreported != 0;
}

void protocol_send_reports(protocol *p)
{
    for (uint8_t n = 1; n <= p->outputs; ++n)
        if (p->unreported & BIT(n))
            report(p, n);
}

bool protocol_parse_groups(const char *text, uint8_t outputs, protocol_options *options)
{
    uint8_t group[PROTOCOL_OUTPUTS_MAX] = {0};
    uint8_t current = 1;
    uint8_t members = 0;
    for (const char *c = text;; ++c) {
        if (*c >= '1' && *c <= '9') {
            uint8_t n = (uint8_t)(*c - '0');
            if (c[1] >= '0' && c[1] <= '9')
                n = (uint8_t)(n * 10 + (*++c - '0'));
            if (n > outputs || group[n - 1] || (c[1] != ',' && c[1] != ' ' && c[1] != '\0'))
                return false;
            group[n - 1] = current;
            ++members;
            if (c[1] == ',' && (c[2] < '1' || c[2] > '9'))
                return false; /* a comma leads to the next output */
            if (c[1] == ',')
                ++c;
        } else if (*c == ' ' || *c == '\0') {
            if (members == 1 || (members == 0 && *c == ' '))
                return false;
            if (members)
                ++current;
            members = 0;
            if (*c == '\0')
                break;
        } else {
            return false;
        }
    }
    memcpy(options->group, group, sizeof group);
    return true;
}

bool protocol_parse_power_on(const char *text, uint8_t outputs, protocol_options *options)
{
    uint8_t modes[PROTOCOL_OUTPUTS_MAX] = {0};
    bool named[PROTOCOL_OUTPUTS_MAX] = {false};
    for (const char *c = text; *c;) {
        if (*c < '1' || *c > '9')
            return false;
        uint8_t n = (uint8_t)(*c++ - '0');
        if (*c >= '0' && *c <= '9')
            n = (uint8_t)(n * 10 + (*c++ - '0'));
        if (n > outputs || named[n - 1] || *c++ != ':')
            return false;
        named[n - 1] = true;
        uint8_t length = 0;
        while (c[length] && c[length] != ' ')
            ++length;
        if (is(c, length, "on"))
            modes[n - 1] = PROTOCOL_POWER_ON;
        else if (is(c, length, "last"))
            modes[n - 1] = PROTOCOL_POWER_LAST;
        else if (!is(c, length, "off"))
            return false;
        c += length;
        if (*c == ' ' && (c[1] < '1' || c[1] > '9'))
            return false; /* one blank, then the next output */
        if (*c == ' ')
            ++c;
    }
    for (uint8_t n = 0; n < outputs; ++n)
        for (uint8_t m = 0; m < n; ++m)
            if (modes[n] == PROTOCOL_POWER_ON && modes[m] == PROTOCOL_POWER_ON &&
                options->group[n] && options->group[n] == options->group[m])
                return false;
    memcpy(options->power_on, modes, sizeof modes);
    return true;
}
