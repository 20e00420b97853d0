// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

/* vantrelo-board: runs the controller firmware on an emulated ATmega328P at 16 MHz (simavr)
 * with its UART0 on a pseudo-terminal, as a board on a USB serial adapter would be.
 *
 *   vantrelo-board --firmware vantrelo-fw.elf --link ~/boards/COM1 [--realtime] [--eeprom FILE]
 *                  [--frames]
 *
 * Prints "ready on <pty> as <link>", then one line for every change of an output pin (D2-D13,
 * A0-A3) with the wall-clock time and the emulated time, in seconds:
 *   1765060000.123456 0.012345 D3 high
 * SIGUSR1 resets the MCU (as opening the port resets an Arduino); SIGTERM or SIGINT end it.
 * --realtime paces the emulation to the wall clock, so bytes flow at the configured bit rate;
 * without it the emulation runs as fast as it can. --eeprom keeps the MCU's EEPROM in a file
 * across runs (blank when missing): each byte takes 3.4 ms to write, as on the chip, and goes to
 * the file when it is written, so that killing the rig at any instant is a power cut with the
 * bytes a chip would hold. --frames also prints each line the port's user writes, as the UART
 * takes its CR:
 *   1765060000.123456 0.012345 received 1O3H */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <simavr/avr_eeprom.h>
#include <simavr/avr_extint.h>
#include <simavr/avr_ioport.h>
#include <simavr/avr_uart.h>
#include <simavr/sim_avr.h>
#include <simavr/sim_elf.h>
#include <simavr/sim_irq.h>

static volatile sig_atomic_t reset_requested, stop_requested;
static int master = -1;
static int uart_ready = 1; /* the UART's input fifo takes bytes */
static avr_t *avr;
static int eeprom_file = -1;
static int print_frames; /* --frames */

/* The EEPROM's data addresses: its control register, data and address. */
enum
{
    EECR = 0x3F,
    EEDR = 0x40,
    EEARL = 0x41,
    EEARH = 0x42,
    EEPE = 1
};
static uint16_t writing_address;
static uint8_t writing_value;

/* The byte written, 3.4 ms after its write began, as the chip finishes it: into the file, and the
 * firmware may go on. */
static avr_cycle_count_t on_eeprom_written(avr_t *mcu, avr_cycle_count_t when, void *param)
{
    (void)when, (void)param;
    if (pwrite(eeprom_file, &writing_value, 1, writing_address) != 1)
        perror("vantrelo-board: the EEPROM's file");
    mcu->data[EECR] &= (uint8_t) ~(1u << EEPE);
    return 0;
}

/* simavr writes an EEPROM byte at once: the firmware is kept waiting as on the chip. */
static void on_eecr(struct avr_t *mcu, avr_io_addr_t addr, uint8_t v, void *param)
{
    (void)addr, (void)param;
    if (!(v & (1u << EEPE)))
        return;
    writing_address = (uint16_t)((mcu->data[EEARL] | mcu->data[EEARH] << 8) % 1024);
    writing_value = mcu->data[EEDR];
    mcu->data[EECR] |= (uint8_t)(1u << EEPE);
    avr_cycle_timer_register_usec(mcu, 3400, on_eeprom_written, NULL);
}

/* The file's bytes into the emulated EEPROM, blank (0xFF) where it ends, and the whole file
 * made blank to its end, as a new chip. */
static int load_eeprom(const char *path)
{
    eeprom_file = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (eeprom_file < 0)
        return -1;
    static uint8_t bytes[1024];
    ssize_t n = pread(eeprom_file, bytes, sizeof bytes, 0);
    if (n < 0)
        n = 0;
    memset(bytes + n, 0xFF, sizeof bytes - (size_t)n);
    if ((size_t)n < sizeof bytes && pwrite(eeprom_file, bytes + n, sizeof bytes - (size_t)n, n) !=
                                        (ssize_t)(sizeof bytes - (size_t)n))
        return -1;
    avr_eeprom_desc_t desc = {.ee = bytes, .offset = 0, .size = sizeof bytes};
    avr_ioctl(avr, AVR_IOCTL_EEPROM_SET, &desc);
    avr_register_io_write(avr, EECR, on_eecr, NULL);
    return 0;
}

static void on_signal(int signal)
{
    if (signal == SIGUSR1)
        reset_requested = 1;
    else
        stop_requested = 1;
}

static double wall_seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double monotonic_seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* A byte from the MCU goes to whoever has the port open; with nobody there it is lost, as on
 * a wire. */
static void on_uart_output(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)param;
    const char c = (char)value;
    if (write(master, &c, 1) < 0 && errno != EAGAIN && errno != EIO)
        perror("vantrelo-board: write");
}

static void on_uart_xon(struct avr_irq_t *irq, uint32_t value, void *param)
{
    (void)irq, (void)value;
    uart_ready = param != NULL;
}

static void on_pin(struct avr_irq_t *irq, uint32_t value, void *param)
{
    static const char *const names[3][8] = {
        {"D8", "D9", "D10", "D11", "D12", "D13", NULL, NULL}, /* port B */
        {"A0", "A1", "A2", "A3", NULL, NULL, NULL, NULL},     /* port C */
        {NULL, NULL, "D2", "D3", "D4", "D5", "D6", "D7"},     /* port D */
    };
    static uint8_t levels[3]; /* as last printed; all low after power-up */
    const int port = (int)(intptr_t)param;
    const char *name = names[port][irq->irq];
    const uint8_t bit = (uint8_t)(1u << irq->irq);
    if (!name || !(levels[port] & bit) == !value)
        return;
    levels[port] ^= bit;
    printf("%.6f %.6f %s %s\n", wall_seconds(), (double)avr->cycle / avr->frequency, name,
           value ? "high" : "low");
}

/* A sleeping MCU jumps ahead to its next timer event. This one comes every 0.1 ms of emulated
 * time, so the rig takes in bytes as promptly as when the firmware runs. */
static avr_cycle_count_t on_slice(avr_t *mcu, avr_cycle_count_t when, void *param)
{
    (void)param;
    return when + mcu->frequency / 10000;
}

static void start_slices(void)
{
    avr_cycle_timer_register(avr, avr->frequency / 10000, on_slice, NULL);
    /* simavr polls the level-triggered external interrupts at every cycle of a sleeping MCU;
     * the firmware uses neither. */
    avr_extint_set_strict_lvl_trig(avr, 0, 0);
    avr_extint_set_strict_lvl_trig(avr, 1, 0);
}

/* The rig keeps pace with the wall clock itself (--realtime); simavr's own sleep would pace a
 * sleeping MCU in runs that must go as fast as they can too. */
static void no_sleep(avr_t *mcu, avr_cycle_count_t how_long)
{
    (void)mcu, (void)how_long;
}

/* Feeds what the port's user wrote to the UART while it takes bytes; with --frames, prints each
 * line (its first 64 bytes, control characters as '.') as its CR goes in. */
static void feed_uart(avr_irq_t *input)
{
    static char line[65];
    static size_t length;
    char c;
    while (uart_ready && read(master, &c, 1) == 1) {
        avr_raise_irq(input, (uint8_t)c);
        if (!print_frames)
            continue;
        if (c == '\r') {
            line[length] = '\0';
            printf("%.6f %.6f received %s\n", wall_seconds(), (double)avr->cycle / avr->frequency,
                   line);
            length = 0;
        } else if (length < sizeof line - 1) {
            line[length++] = (c < ' ' || c > '~') ? '.' : c;
        }
    }
}

int main(int argc, char *argv[])
{
    const char *firmware_path = NULL, *link_path = NULL, *eeprom_path = NULL;
    int realtime = 0;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--firmware") && i + 1 < argc)
            firmware_path = argv[++i];
        else if (!strcmp(argv[i], "--link") && i + 1 < argc)
            link_path = argv[++i];
        else if (!strcmp(argv[i], "--realtime"))
            realtime = 1;
        else if (!strcmp(argv[i], "--eeprom") && i + 1 < argc)
            eeprom_path = argv[++i];
        else if (!strcmp(argv[i], "--frames"))
            print_frames = 1;
        else if (!strcmp(argv[i], "--version") || !strcmp(argv[i], "-v"))
            return printf("vantrelo-board %s\n", VANTRELO_VERSION) < 0;
        else
            firmware_path = NULL, i = argc;
    }
    if (!firmware_path || !link_path) {
        fprintf(stderr, "usage: vantrelo-board --firmware FILE.elf --link PATH [--realtime] "
                        "[--eeprom FILE] [--frames]\n"
                        "       vantrelo-board --version\n");
        return 2;
    }

    elf_firmware_t firmware;
    memset(&firmware, 0, sizeof firmware);
    if (elf_read_firmware(firmware_path, &firmware) != 0) {
        fprintf(stderr, "vantrelo-board: cannot read %s\n", firmware_path);
        return 1;
    }
    avr = avr_make_mcu_by_name("atmega328p");
    if (!avr || avr_init(avr) != 0)
        return 1;
    avr->frequency = 16000000;
    avr->log = LOG_WARNING;
    avr->sleep = no_sleep;
    avr_load_firmware(avr, &firmware);
    start_slices();
    if (eeprom_path && load_eeprom(eeprom_path) != 0) {
        fprintf(stderr, "vantrelo-board: %s: %s\n", eeprom_path, strerror(errno));
        return 1;
    }

    /* The pty: raw, the device side kept open by the rig itself so that the port can be opened
     * and closed by others as often as they like. */
    int device;
    char device_name[256];
    if (openpty(&master, &device, device_name, NULL, NULL) != 0) {
        perror("vantrelo-board: openpty");
        return 1;
    }
    struct termios tio;
    tcgetattr(device, &tio);
    cfmakeraw(&tio);
    tcsetattr(device, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    unlink(link_path);
    if (symlink(device_name, link_path) != 0) {
        perror("vantrelo-board: symlink");
        return 1;
    }

    /* simavr would also echo what the MCU sends, 256 bytes a line, on standard error: the rig's
     * user reads it from the pty. */
    uint32_t uart_flags = 0;
    avr_ioctl(avr, AVR_IOCTL_UART_GET_FLAGS('0'), &uart_flags);
    uart_flags &= ~(uint32_t)AVR_UART_FLAG_STDIO;
    avr_ioctl(avr, AVR_IOCTL_UART_SET_FLAGS('0'), &uart_flags);
    avr_irq_t *input = avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                            on_uart_output, NULL);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
                            on_uart_xon, (void *)1);
    avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                            on_uart_xon, NULL);
    const char ports[3] = {'B', 'C', 'D'};
    for (intptr_t p = 0; p < 3; ++p)
        for (int bit = 0; bit < 8; ++bit)
            avr_irq_register_notify(avr_io_getirq(avr, AVR_IOCTL_IOPORT_GETIRQ(ports[p]), bit),
                                    on_pin, (void *)p);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGUSR1, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("ready on %s as %s\n", device_name, link_path);

    double start = monotonic_seconds();
    avr_cycle_count_t start_cycle = avr->cycle;
    int state = cpu_Running;
    while (!stop_requested && state != cpu_Done && state != cpu_Crashed) {
        if (reset_requested) {
            reset_requested = 0;
            printf("%.6f %.6f reset\n", wall_seconds(), (double)avr->cycle / avr->frequency);
            avr_reset(avr); /* which also ends every cycle timer */
            start_slices();
        }
        /* Every 0.1 ms of emulated time: take in bytes, and keep pace with the wall clock. */
        const avr_cycle_count_t until = avr->cycle + avr->frequency / 10000;
        while (avr->cycle < until && state != cpu_Done && state != cpu_Crashed)
            state = avr_run(avr);
        feed_uart(input);
        if (realtime) {
            const double ahead =
                (double)(avr->cycle - start_cycle) / avr->frequency - (monotonic_seconds() - start);
            if (ahead > 0.001)
                usleep((useconds_t)(ahead * 1e6));
            else if (ahead < -0.5) /* fell behind (a busy host): do not race to catch up */
                start = monotonic_seconds(), start_cycle = avr->cycle;
        }
    }
    unlink(link_path);
    printf("%.6f %.6f stopped\n", wall_seconds(), (double)avr->cycle / avr->frequency);
    return state == cpu_Crashed ? 1 : 0;
}
