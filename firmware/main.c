// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

/* Vantrelo controller firmware for an ATmega328P at 16 MHz (Arduino Uno or Nano).
 *
 * Build-time choices (see the Makefile): OUTPUTS (1 to 16, on D2-D13 then A0-A3), ACTIVE_LOW
 * (1 for the usual relay modules, which switch on a low input), BAUD (8N1), DEVICE_ID_SET
 * (stores that identifier in the EEPROM; without it the EEPROM's identifier is used, or "1" on
 * a blank EEPROM), INTERLOCK_GROUPS with INTERLOCK_MS (outputs never on together, and the dead
 * time between them), MAX_ON (the longest on-time, in seconds), POWER_ON_MODES (each output's
 * power-on state: off, on, or the last one, kept in the EEPROM) with EEPROM_RING (the records of
 * the last states).
 *
 * Every output comes up at its power-on state, off unless told otherwise, set in the first
 * microseconds after a reset, before a byte is read; the watchdog resets a hung board the same
 * way. Pulses, dead times and the longest on-time are kept here, whatever the
 * host does: a pulse ends on time after the host has gone. Received bytes and replies pass
 * through interrupt-driven ring buffers; a frame, or the reports of what the clock switched, is
 * only taken up when its longest reply fits in the transmit buffer, so the main loop never
 * waits for it, and the clock's switching never waits for the line. With nothing to do, the
 * MCU sleeps in idle mode: a received byte, a sent one, the 16 ms tick that keeps the clock and
 * feeds the watchdog, or a compare match set for what falls due before the next tick wakes it. */
#include "protocol.h"

#include <avr/eeprom.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <avr/wdt.h>
#include <util/atomic.h>

#ifndef BAUD
#define BAUD 9600
#endif
#define BAUD_TOL 2 /* percent; setbaud.h warns beyond it, and warnings are errors here */
#include <util/setbaud.h>

#ifndef OUTPUTS
#define OUTPUTS 4
#endif
#ifndef ACTIVE_LOW
#define ACTIVE_LOW 0
#endif
#if OUTPUTS < 1 || OUTPUTS > PROTOCOL_OUTPUTS_MAX
#error "OUTPUTS must be 1 to 16"
#endif
#ifndef INTERLOCK_GROUPS /* output n's group at n-1, as the Makefile writes INTERLOCK */
#define INTERLOCK_GROUPS                                                                           \
    {                                                                                              \
        0                                                                                          \
    }
#endif
#ifndef INTERLOCK_MS
#define INTERLOCK_MS 0
#endif
#if INTERLOCK_MS < 0 || INTERLOCK_MS > 65535
#error "INTERLOCK_MS must be 0 to 65535"
#endif
#ifndef MAX_ON
#define MAX_ON 0
#endif
#ifndef POWER_ON_MODES /* output n's power-on state at n-1, as the Makefile writes POWER_ON */
#define POWER_ON_MODES                                                                             \
    {                                                                                              \
        0                                                                                          \
    }
#endif
#ifndef EEPROM_RING
#define EEPROM_RING 200
#endif
#if EEPROM_RING < 2 || EEPROM_RING > PROTOCOL_RING_RECORDS_MAX
#error "EEPROM_RING must be 2 to 201 records"
#endif
#if MAX_ON < 0 || MAX_ON > 2073600
#error "MAX_ON must be 0 to 2073600 seconds"
#endif

/* The outputs' pins in order: D2-D7 (PD2-PD7), D8-D13 (PB0-PB5), A0-A3 (PC0-PC3). */
typedef struct
{
    volatile uint8_t *port;
    volatile uint8_t *ddr;
    uint8_t bit;
} pin;
static const pin pins[PROTOCOL_OUTPUTS_MAX] = {
    {&PORTD, &DDRD, 2}, {&PORTD, &DDRD, 3}, {&PORTD, &DDRD, 4}, {&PORTD, &DDRD, 5},
    {&PORTD, &DDRD, 6}, {&PORTD, &DDRD, 7}, {&PORTB, &DDRB, 0}, {&PORTB, &DDRB, 1},
    {&PORTB, &DDRB, 2}, {&PORTB, &DDRB, 3}, {&PORTB, &DDRB, 4}, {&PORTB, &DDRB, 5},
    {&PORTC, &DDRC, 0}, {&PORTC, &DDRC, 1}, {&PORTC, &DDRC, 2}, {&PORTC, &DDRC, 3},
};

/* The identifier at the start of the EEPROM: its length, then its characters; 0xFF when blank.
 * (No EEMEM variable: the image would then carry an EEPROM of zeros.) */
#define stored_id ((uint8_t *)0)

/* Ring buffers; the sizes are powers of two, so the indices wrap by themselves. The line has no
 * flow control: a host keeps one command in flight and sends the next once this one is answered.
 * The receive buffer then holds that command whole (a frame, its CR and a stray LF) while the
 * replies before it drain, and the transmit buffer every state line one frame makes. */
static volatile uint8_t rx[64], rx_head, rx_tail;
static volatile uint8_t tx[256], tx_head, tx_tail;
_Static_assert(sizeof rx >= PROTOCOL_LINE_MAX + 2, "a whole frame fits the receive buffer");
_Static_assert(sizeof tx > PROTOCOL_REPLY_MAX, "every state line fits the transmit buffer");

ISR(USART_RX_vect)
{
    const uint8_t c = UDR0;
    if ((uint8_t)(rx_head - rx_tail) < sizeof rx) /* a full buffer drops the byte */
        rx[rx_head++ % sizeof rx] = c;
}

ISR(USART_UDRE_vect)
{
    if (tx_head == tx_tail)
        UCSR0B &= (uint8_t)~_BV(UDRIE0);
    else
        UDR0 = tx[tx_tail++];
}

static void put(void *context, char c)
{
    (void)context;
    tx[tx_head++] = (uint8_t)c; /* room was made sure of before the frame was taken up */
    UCSR0B |= _BV(UDRIE0);
}

/* The EEPROM for the last states. Writing waits for the cell (3.4 ms a byte); the watchdog is fed
 * meanwhile, and the brown-out detector keeps a sagging supply from writing at all. */
static uint8_t load(void *context, uint16_t address)
{
    (void)context;
    return eeprom_read_byte((const uint8_t *)address);
}

static void store(void *context, uint16_t address, uint8_t value)
{
    (void)context;
    wdt_reset();
    eeprom_update_byte((uint8_t *)address, value);
}

static void set_pin(uint8_t n, uint8_t on)
{
    if (on != ACTIVE_LOW)
        *pins[n].port |= _BV(pins[n].bit);
    else
        *pins[n].port &= (uint8_t)~_BV(pins[n].bit);
}

/* Outputs going off first, then those going on: no two of a group are on at any moment. */
static void apply(void *context, uint16_t states)
{
    (void)context;
    for (uint8_t n = 0; n < OUTPUTS; ++n)
        if (!((states >> n) & 1u))
            set_pin(n, 0);
    for (uint8_t n = 0; n < OUTPUTS; ++n)
        if ((states >> n) & 1u)
            set_pin(n, 1);
}

/* Timer 0 at clock/1024 overflows every 16.384 ms: the clock, and the idle loop wakes to feed
 * the watchdog and to do what is due. */
static volatile uint32_t clock_ms; /* at the last overflow */
static volatile uint16_t clock_us; /* beyond it, below 1000 */
ISR(TIMER0_OVF_vect)
{
    uint16_t us = (uint16_t)(clock_us + 384u);
    uint32_t ms = clock_ms + 16u;
    if (us >= 1000u) {
        us = (uint16_t)(us - 1000u);
        ++ms;
    }
    clock_us = us;
    clock_ms = ms;
}

/* A wake-up at what falls due between two ticks. */
EMPTY_INTERRUPT(TIMER0_COMPB_vect)

/* Milliseconds since power-up, to 64 us; wraps around after 49 days. */
static uint32_t now_ms(void)
{
    uint32_t ms;
    uint16_t us;
    uint8_t count;
    ATOMIC_BLOCK(ATOMIC_RESTORESTATE)
    {
        ms = clock_ms;
        us = clock_us;
        count = TCNT0;
        if ((TIFR0 & _BV(TOV0)) && count < 255) { /* an overflow not counted yet */
            ms += 16u;
            us = (uint16_t)(us + 384u);
        }
    }
    return ms + (uint16_t)(us + (uint16_t)count * 64u) / 1000u;
}

/* Runs before anything else: a watchdog reset leaves the watchdog running. */
void early_init(void) __attribute__((naked, used, section(".init3")));
void early_init(void)
{
    MCUSR = 0;
    wdt_disable();
}

int main(void)
{
#ifdef DEVICE_ID_SET
    static const char set_id[] = DEVICE_ID_SET;
    _Static_assert(sizeof set_id - 1 <= PROTOCOL_ID_MAX, "the identifier is too long");
    eeprom_update_byte(&stored_id[0], sizeof set_id - 1);
    eeprom_update_block(set_id, &stored_id[1], sizeof set_id - 1);
#endif
    char id[PROTOCOL_ID_MAX] = {'1'};
    uint8_t id_length = eeprom_read_byte(&stored_id[0]);
    if (id_length > PROTOCOL_ID_MAX)
        id_length = 1; /* blank */
    else
        eeprom_read_block(id, &stored_id[1], id_length);

    /* The power-on states: the core restores them and sets the pins' levels, then the pins
     * become outputs, each at its level from the start. */
    const protocol_options options = {INTERLOCK_GROUPS, INTERLOCK_MS, MAX_ON * 1000UL,
                                      POWER_ON_MODES, EEPROM_RING};
    static protocol p; /* counted with the static data, not hidden on the stack */
    protocol_init(&p, id, id_length, OUTPUTS, &options,
                  (protocol_io){.put = put, .apply = apply, .load = load, .store = store}, 0);
    for (uint8_t n = 0; n < OUTPUTS; ++n)
        *pins[n].ddr |= _BV(pins[n].bit);

    UBRR0H = UBRRH_VALUE;
    UBRR0L = UBRRL_VALUE;
#if USE_2X
    UCSR0A |= _BV(U2X0);
#else
    UCSR0A &= (uint8_t)~_BV(U2X0);
#endif
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8N1 */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
    TCCR0A = 0;
    TCCR0B = _BV(CS02) | _BV(CS00);
    TIMSK0 = _BV(TOIE0);
    set_sleep_mode(SLEEP_MODE_IDLE);
    wdt_enable(WDTO_500MS);
    sei();
    for (;;) {
        wdt_reset();
        protocol_tick(&p, now_ms()); /* the outputs switch at once; their reports may wait */
        /* Looked at with interrupts off, so that a byte that comes after the look still wakes
         * the sleep: the instruction after sei runs before any interrupt. */
        cli();
        const uint8_t room = (uint8_t)(sizeof tx - 1 - (uint8_t)(tx_head - tx_tail));
        if (protocol_has_reports(&p) && room >= PROTOCOL_REPLY_MAX) {
            sei();
            protocol_send_reports(&p);
            continue;
        }
        if (rx_head != rx_tail && room >= PROTOCOL_REPLY_MAX) {
            sei();
            protocol_receive(&p, (char)rx[rx_tail++ % sizeof rx]);
            continue;
        }
        /* Something due before the next tick wakes the MCU when it is due, to the timer's count
         * (64 us), not at the tick after it. */
        const uint32_t wait = protocol_next_due(&p, now_ms());
        if (wait == 0) {
            sei();
            continue;
        }
        if (wait < 16u) {
            OCR0B = (uint8_t)(TCNT0 + (uint8_t)((wait * 1000u + 63u) / 64u));
            TIFR0 = _BV(OCF0B);
            TIMSK0 |= _BV(OCIE0B);
        } else {
            TIMSK0 &= (uint8_t)~_BV(OCIE0B);
        }
        sleep_enable();
        sei();
        sleep_cpu();
        sleep_disable();
    }
}
