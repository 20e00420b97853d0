// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 Vantrelo developers

/* The firmware build's options, read on the host by the protocol core's own parsers (as the
 * simulator reads its --interlock and --power-on), and printed as the initializers the firmware
 * is built with:
 *
 *   options OUTPUTS INTERLOCK POWER_ON EEPROM_RING
 *     -> -DINTERLOCK_GROUPS='{1,1,0,0}' -DPOWER_ON_MODES='{2,1,0,0}'   (each only when given)
 *
 * A bad option: one line saying which and why on standard error, and status 1. */
#include "protocol.h"

#include <stdio.h>
#include <stdlib.h>

static void initializer(const char *name, const uint8_t *values, long outputs)
{
    printf(" -D%s='{", name);
    for (long n = 0; n < outputs; ++n)
        printf("%s%u", n ? "," : "", values[n]);
    printf("}'");
}

int main(int argc, char *argv[])
{
    if (argc != 5)
        return fprintf(stderr, "usage: options OUTPUTS INTERLOCK POWER_ON EEPROM_RING\n"), 2;
    char *end;
    const long outputs = strtol(argv[1], &end, 10);
    if (*end || end == argv[1] || outputs < 1 || outputs > PROTOCOL_OUTPUTS_MAX)
        return fprintf(stderr, "OUTPUTS=%s: 1 to %d\n", argv[1], PROTOCOL_OUTPUTS_MAX), 1;
    protocol_options options = {0};
    if (!protocol_parse_groups(argv[2], (uint8_t)outputs, &options))
        return fprintf(stderr,
                       "INTERLOCK=\"%s\": groups of two outputs or more from 1 to %ld, such as "
                       "\"1,2 3,4\", each output in one group\n",
                       argv[2], outputs),
               1;
    if (!protocol_parse_power_on(argv[3], (uint8_t)outputs, &options))
        return fprintf(stderr,
                       "POWER_ON=\"%s\": outputs from 1 to %ld, each once, with off, on or last, "
                       "such as \"1:last 2:on\"; never on for two outputs of one INTERLOCK "
                       "group\n",
                       argv[3], outputs),
               1;
    const long ring = strtol(argv[4], &end, 10);
    for (long n = 0; n < outputs; ++n)
        if (options.power_on[n] == PROTOCOL_POWER_LAST &&
            (*end || end == argv[4] || ring < 2 || ring > (long)PROTOCOL_RING_RECORDS_MAX))
            return fprintf(stderr,
                           "POWER_ON=\"%s\": last needs a ring of EEPROM_RING records, 2 to %u "
                           "in the EEPROM's 1,024 bytes, not %s\n",
                           argv[3], (unsigned)PROTOCOL_RING_RECORDS_MAX, argv[4]),
                   1;
    if (*argv[2])
        initializer("INTERLOCK_GROUPS", options.group, outputs);
    if (*argv[3])
        initializer("POWER_ON_MODES", options.power_on, outputs);
    putchar('\n');
    return 0;
}
