// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

#include "protocol.h"

#include <string.h>

static void put_id(const protocol *p)
{
    for (uint8_t i = 0; i < p->id_length; ++i)
        p->io.put(p->io.context, p->id[i]);
}

static void report(const protocol *p, uint8_t n)
{
    put_id(p);
    p->io.put(p->io.context, 'O');
    if (n >= 10)
        p->io.put(p->io.context, (char)('0' + n / 10));
    p->io.put(p->io.context, (char)('0' + n % 10));
    p->io.put(p->io.context, (p->states >> (n - 1)) & 1u ? 'H' : 'L');
    p->io.put(p->io.context, '\r');
}

static bool is(const char *verb, uint8_t length, const char *text)
{
    return length == strlen(text) && memcmp(verb, text, length) == 0;
}

/* "1" to "16" with no leading zero; 0 for anything else. */
static uint8_t output_number(const char *digits, uint8_t length)
{
    if (length < 1 || length > 2 || digits[0] < '1' || digits[0] > '9')
        return 0;
    if (length == 1)
        return (uint8_t)(digits[0] - '0');
    if (digits[1] < '0' || digits[1] > '9')
        return 0;
    return (uint8_t)((digits[0] - '0') * 10 + (digits[1] - '0'));
}

static void set_states(protocol *p, uint16_t states)
{
    p->states = states;
    p->io.apply(p->io.context, states);
}

static void handle(protocol *p)
{
    if (p->length < p->id_length || memcmp(p->line, p->id, p->id_length) != 0)
        return;
    const char *verb = p->line + p->id_length;
    const uint8_t length = (uint8_t)(p->length - p->id_length);
    const uint16_t all = (uint16_t)((1ul << p->outputs) - 1u);
    if (is(verb, length, "AT")) {
        put_id(p);
        p->io.put(p->io.context, 'O');
        p->io.put(p->io.context, 'K');
        p->io.put(p->io.context, '\r');
    } else if (is(verb, length, "OA") || is(verb, length, "OAH") || is(verb, length, "OAL")) {
        if (length == 3)
            set_states(p, verb[2] == 'H' ? all : 0);
        for (uint8_t n = 1; n <= p->outputs; ++n)
            report(p, n);
    } else if (length >= 3 && verb[0] == 'O' &&
               (verb[length - 1] == 'H' || verb[length - 1] == 'L')) {
        const uint8_t n = output_number(verb + 1, (uint8_t)(length - 2));
        if (n < 1 || n > p->outputs)
            return;
        const uint16_t bit = (uint16_t)(1u << (n - 1));
        set_states(p, verb[length - 1] == 'H' ? (uint16_t)(p->states | bit)
                                              : (uint16_t)(p->states & ~bit));
        report(p, n);
    }
}

void protocol_init(protocol *p, const char *id, uint8_t id_length, uint8_t outputs, protocol_io io)
{
    memset(p, 0, sizeof *p);
    p->io = io;
    p->id_length = id_length < PROTOCOL_ID_MAX ? id_length : PROTOCOL_ID_MAX;
    memcpy(p->id, id, p->id_length);
    p->outputs = outputs < 1 ? 1 : outputs > PROTOCOL_OUTPUTS_MAX ? PROTOCOL_OUTPUTS_MAX : outputs;
    set_states(p, 0);
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
