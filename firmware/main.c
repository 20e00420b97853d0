// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

/* Vantrelo controller firmware for an ATmega328P at 16 MHz (Arduino Uno or Nano).
 *
 * Build-time choices (see the Makefile): OUTPUTS (1 to 16, on D2-D13 then A0-A3), ACTIVE_LOW
 * (1 for the usual relay modules, which switch on a low input), BAUD (8N1), and DEVICE_ID_SET
 * (stores that identifier in the EEPROM; without it the EEPROM's identifier is used, or "1" on
 * a blank EEPROM).
 *
 * Every output is off from power-up until a command switches it. The watchdog resets a hung
 * board to that state. Received bytes and replies pass through interrupt-driven ring buffers;
 * a frame is only taken up when its longest reply fits in the transmit buffer, so the main loop
 * never waits for it. With nothing to do, the MCU sleeps in idle mode: a received byte, a sent
 * one, or the 16 ms tick that feeds the watchdog wakes it. */
#include "protocol.h"

#include <avr/eeprom.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <avr/wdt.h>

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

/* Ring buffers; the sizes are powers of two, so the indices wrap by themselves. */
static volatile uint8_t rx[64], rx_head, rx_tail;
static volatile uint8_t tx[256], tx_head, tx_tail;

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

static void apply(void *context, uint16_t states)
{
    (void)context;
    for (uint8_t n = 0; n < OUTPUTS; ++n) {
        const uint8_t on = (uint8_t)((states >> n) & 1u);
        if (on != ACTIVE_LOW)
            *pins[n].port |= _BV(pins[n].bit);
        else
            *pins[n].port &= (uint8_t)~_BV(pins[n].bit);
    }
}

/* Timer 0 at clock/1024 overflows every 16.4 ms: the idle loop wakes to feed the watchdog. */
EMPTY_INTERRUPT(TIMER0_OVF_vect)

/* Runs before anything else: a watchdog reset leaves the watchdog running. */
void early_init(void) __attribute__((naked, used, section(".init3")));
void early_init(void)
{
    MCUSR = 0;
    wdt_disable();
}

int main(void)
{
    apply(0, 0); /* the off level first, then the pins become outputs */
    for (uint8_t n = 0; n < OUTPUTS; ++n)
        *pins[n].ddr |= _BV(pins[n].bit);

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

    UBRR0H = UBRRH_VALUE;
    UBRR0L = UBRRL_VALUE;
#if USE_2X
    UCSR0A |= _BV(U2X0);
#else
    UCSR0A &= (uint8_t)~_BV(U2X0);
#endif
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00); /* 8N1 */
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);

    protocol p;
    protocol_init(&p, id, id_length, OUTPUTS, (protocol_io){put, apply, 0});
    TCCR0A = 0;
    TCCR0B = _BV(CS02) | _BV(CS00);
    TIMSK0 = _BV(TOIE0);
    set_sleep_mode(SLEEP_MODE_IDLE);
    wdt_enable(WDTO_500MS);
    sei();
    for (;;) {
        wdt_reset();
        /* Looked at with interrupts off, so that a byte that comes after the look still wakes
         * the sleep: the instruction after sei runs before any interrupt. */
        cli();
        const uint8_t room = (uint8_t)(sizeof tx - 1 - (uint8_t)(tx_head - tx_tail));
        if (rx_head != rx_tail && room >= PROTOCOL_REPLY_MAX) {
            sei();
            protocol_receive(&p, (char)rx[rx_tail++ % sizeof rx]);
            continue;
        }
        sleep_enable();
        sei();
        sleep_cpu();
        sleep_disable();
    }
}
