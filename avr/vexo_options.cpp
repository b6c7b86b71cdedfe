// The command line: option table and option processor.
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <getopt.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <sys/stat.h>
#include <unistd.h>

#include "avr/avr.h"
#include "lib/net.h"
#include "avr/vexo.h"
#include "avr/vexo_control.h"
#include "avr/vexo_field.h"
#include "avr/vexo_low_battery.h"
#include "avr/vexo_ups.h"

char IPADRS[128];

const char* VEXOdevicePath()
{
    const char* dev = getenv("VEXO_DEVICE");
    return dev != nullptr && dev[0] != '\0' ? dev : VEXO_DEFAULT_DEVICE;
}

// The number in text, as atoi reads it, but defined for every input.
static int number(const char* text) { return static_cast<int>(strtol(text, nullptr, 10)); }

// "on"/"off" of an active-high bit, "off"/"on" of an active-low one.
static const char* lower(int on) { return on ? "on" : "off"; }

// Whether --charge of ma starts the supervisor (which never returns to the command line).
static bool chargeStarts(word ma) { return ma <= VEXO_CHARGE_MAX_MA && ma >= VEXO_CHARGE_MIN_MA; }

// The supervisor settings that followed the --charge that started it, as
// "--NAME VALUE ..."; empty when none did.
static char ignoredAfterCharge[256];

const char* VEXOignoredAfterCharge() { return ignoredAfterCharge; }

// Runs --charge: sends the pending request with the charging outputs, then
// starts the supervisor unless the current is out of range.
static void chargeOption(FILE* file, ByteArrayRef bReq, VEXOreply* pkt, word ma, int on, int off, int shutdelay)
{
    VEXOrequest req = VEXOrequest_Get(bReq);
    req.outputs = VEXOsetBit(req.outputs, opamp | buckOff | offsetOff, 1);
    VEXOrequest_Put(bReq, req);
    AVRsendRequest(file, bReq, BAR(pkt, sizeof *pkt), VEXOcallback);
    if (!chargeStarts(ma)) {
        printf("Can only charge the battery with 60mA < I < 400mA\n");
        return;
    }
    VEXOBatteryCharge(file, ma * 1000, on, off, shutdelay);
}

// What the options of one command line share while they are carried out.
struct OptionRun {
    FILE* file;
    ByteArrayRef bReq;
    VEXOrequest req; // the request, read before and written back after each option
    VEXOreply pkt;
    int on = 60;
    int off = 60;
    int shutdelay = -1;
    word val = 0;
    bool haveVal = false; // --eew without --eeval or --eer before it writes nothing
    int doSomething = 0;  // 1: the request must be sent
};

struct OptionRow;
// Carries out one option with its argument (nullptr for none).
using OptionFunc = void (*)(OptionRun* run, const OptionRow& row, const char* arg);
// Checks an option's argument before the device is opened: 0, or 2 after a
// message on standard error.
using OptionCheck = int (*)(const char* arg);

// What becomes of an option that follows the --charge that starts the
// supervisor: nothing after it is carried out.
enum class AfterCharge : unsigned char {
    Unread,  // not a supervisor setting: passed over in silence
    Ignored, // a supervisor setting of old: ignored, and the supervisor says so
    Refused, // a field setting: refused before anything touches the board
};

// One option: its name, whether it takes an argument, its lines of the help
// text and their place there (0: not in the help), what it does, and for the
// output switches the bit and its polarity; what it is after --charge; and
// the label printed by an output switch. (cppcheck misses some reads of the
// members through the table.)
struct OptionRow {
    // cppcheck-suppress unusedStructMember
    const char* name;
    // cppcheck-suppress unusedStructMember
    int hasArg;
    // cppcheck-suppress unusedStructMember
    int helpRank;
    // cppcheck-suppress unusedStructMember
    const char* help;
    OptionFunc run;
    // cppcheck-suppress unusedStructMember
    OptionCheck check;
    word bit;
    bool activeLow;
    AfterCharge afterCharge;
    const char* label;
};

static void switchOutput(OptionRun* r, const OptionRow& row, const char* arg)
{
    const int n = number(arg);
    r->req.outputs = VEXOsetBit(r->req.outputs, row.bit, row.activeLow ? n == 0 : n & 1);
    printf("%s: %s\n", row.label, lower(VEXObit(r->req.outputs, row.bit) ^ (row.activeLow ? 1 : 0)));
    r->doSomething |= 1;
}

static void pwmLow(OptionRun* r, const OptionRow&, const char* arg)
{
    r->req.pwm_lo = static_cast<word>(number(arg));
    if (r->req.pwm_t < r->req.pwm_lo)
        r->req.pwm_t = r->req.pwm_lo;
    printf("PWM LO= %d\n", r->req.pwm_lo);
    r->doSomething |= 1;
}

static void pwmPeriod(OptionRun* r, const OptionRow&, const char* arg)
{
    r->req.pwm_t = static_cast<word>(number(arg));
    printf("PWM T= %d\n", r->req.pwm_t);
    r->doSomething |= 1;
}

static void help(OptionRun*, const OptionRow&, const char*);

static void sleepFor(OptionRun* r, const OptionRow&, const char* arg)
{
    r->req.alarm = static_cast<dword>(number(arg));
    printf("Sleeping for %d seconds (approximately)\n", static_cast<int>(r->req.alarm));
    r->doSomething |= 1;
}

static void eepromRead(OptionRun* r, const OptionRow&, const char* arg)
{
    const byte adrs = static_cast<byte>(number(arg) & 0xFF);
    const byte b = VEXOcontrolActive() ? VEXOcontrolReadEEPROM(adrs, &r->pkt) : VEXOreadEEPROM(r->file, adrs, &r->pkt);
    r->val = b;
    r->haveVal = true;
    printf("%02X:%02X\n", adrs, b);
}

static void eepromWrite(OptionRun* r, const OptionRow&, const char* arg)
{
    const byte adrs = static_cast<byte>(number(arg) & 0xFF);
    if (!r->haveVal) {
        printf("No value to write: give --eeval or --eer before --eew\n");
        return;
    }
    printf("Writing %02X to %02X\n", r->val & 0xFF, adrs);
    if (VEXOcontrolActive())
        VEXOcontrolWriteEEPROM(adrs, static_cast<byte>(r->val & 0xFF));
    else
        VEXOwriteEEPROM(r->file, adrs, static_cast<byte>(r->val & 0xFF));
}

static void eepromValue(OptionRun* r, const OptionRow&, const char* arg)
{
    r->val = static_cast<word>(number(arg));
    r->haveVal = true;
}

static void charge(OptionRun* r, const OptionRow&, const char* arg)
{
    r->val = static_cast<word>(number(arg));
    r->haveVal = true;
    if (chargeStarts(r->val) && ignoredAfterCharge[0] != '\0')
        VEXOerror("vexo: ignored after --charge (give them before it): %s\n", ignoredAfterCharge);
    VEXOrequest_Put(r->bReq, r->req);
    chargeOption(r->file, r->bReq, &r->pkt, r->val, r->on, r->off, r->shutdelay);
    r->req = VEXOrequest_Get(r->bReq); // edited in place
}

static void logTo(OptionRun*, const OptionRow&, const char* arg)
{
    strncpy(IPADRS, arg, sizeof IPADRS - 1);
    IPADRS[sizeof IPADRS - 1] = '\0';
    printf("Logging to: %s\n", IPADRS);
}

static void onTime(OptionRun* r, const OptionRow&, const char* arg) { r->on = number(arg); }
static void offTime(OptionRun* r, const OptionRow&, const char* arg) { r->off = number(arg); }
static void version(OptionRun*, const OptionRow&, const char*) { printf("vexo, version %s\n", VERSION); }

static void shutdownAfter(OptionRun* r, const OptionRow&, const char* arg)
{
    r->shutdelay = number(arg);
    printf("Automatic shutdown %d seconds after power failure\n", r->shutdelay);
}

// The field options are checked by VEXOcheckOptions before the device is opened.
static void eventCmd(OptionRun*, const OptionRow&, const char* arg) { vexoField.eventCmd = arg; }
static void listenOn(OptionRun*, const OptionRow&, const char* arg) { VEXOparseListen(arg, &vexoField); }
static void allowFrom(OptionRun*, const OptionRow&, const char* arg) { VEXOparseAllow(arg, &vexoField); }
static void upsFile(OptionRun*, const OptionRow&, const char* arg) { vexoUps.path = arg; }

// What a destination that reaches more than one host is ("a multicast
// address", "a broadcast address"), or nullptr for any other address. Such
// an address can be bound, but no command sent to this host arrives there.
static const char* groupAddress(in_addr a)
{
    const std::uint32_t host = ntohl(a.s_addr);
    if ((host >> 28) == 0xE)
        return "a multicast address";
    if (host == INADDR_BROADCAST)
        return "a broadcast address";
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return nullptr;
    const char* what = nullptr;
    // The broadcast address of each local network (loopback's too), /31 and /32 having none.
    for (const ifaddrs* i = list; i != nullptr && what == nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || i->ifa_netmask == nullptr)
            continue;
        sockaddr_in own{}, mask{};
        memcpy(&own, i->ifa_addr, sizeof own);
        memcpy(&mask, i->ifa_netmask, sizeof mask);
        const std::uint32_t m = ntohl(mask.sin_addr.s_addr);
        if (m < 0xFFFFFFFEu && (ntohl(own.sin_addr.s_addr) | ~m) == host)
            what = "a broadcast address";
    }
    freeifaddrs(list);
    return what;
}

static int checkListen(const char* arg)
{
    VEXOfield scratch;
    if (!VEXOparseListen(arg, &scratch)) {
        fprintf(stderr, "vexo: --listen needs an IPv4 address (a.b.c.d), not '%s'\n", arg);
        return 2;
    }
    if (const char* what = groupAddress(scratch.listen)) {
        fprintf(stderr, "vexo: --listen %s: %s, not an address of this host\n", arg, what);
        return 2;
    }
    const int fd = netUDPbind(0, scratch.listen.s_addr); // one of this host's?
    if (fd < 0) {
        fprintf(stderr, "vexo: --listen %s: %s\n", arg, strerror(errno));
        return 2;
    }
    close(fd);
    return 0;
}

static int checkAllow(const char* arg)
{
    VEXOfield scratch;
    if (VEXOparseAllow(arg, &scratch))
        return 0;
    fprintf(stderr,
            "vexo: --allow needs IPv4 addresses or prefixes (a.b.c.d or a.b.c.d/n), comma-separated, "
            "at most %d, not '%s'\n",
            VEXO_ALLOW_MAX, arg);
    return 2;
}

static void shutdownVolts(OptionRun*, const OptionRow&, const char* arg)
{
    VEXOparseShutdownVolts(arg, &vexoShutdownVolts);
    if (vexoShutdownVolts > 0)
        printf("Automatic shutdown after %d seconds on battery below %.2f V\n", VEXO_LOW_BATTERY_S,
               static_cast<double>(vexoShutdownVolts));
}

static int checkShutdownVolts(const char* arg)
{
    float volts = 0;
    if (VEXOparseShutdownVolts(arg, &volts))
        return 0;
    fprintf(stderr,
            "vexo: --shutdown-volts needs volts from 0 (off) to %.2f, a plain decimal number such as 3.3, "
            "not '%s'\n",
            VEXO_SHUTDOWN_VOLTS_MAX, arg);
    return 2;
}

static int checkEventCmd(const char* arg)
{
    struct stat st {};
    if (stat(arg, &st) != 0 || access(arg, X_OK) != 0) {
        fprintf(stderr, "vexo: --event-cmd %s: %s\n", arg, strerror(errno));
        return 2;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "vexo: --event-cmd %s: not an executable file\n", arg);
        return 2;
    }
    return 0;
}

constexpr int ARG = required_argument;
constexpr int NONE = no_argument;
constexpr AfterCharge UNREAD = AfterCharge::Unread;
constexpr AfterCharge IGNORED = AfterCharge::Ignored;
constexpr AfterCharge REFUSED = AfterCharge::Refused;
constexpr const char* MUST_PRECEDE_CHARGE = "                  NOTE: This option must come BEFORE the charge option\n";

// The options, in the order the parser reports them (index + 1).
// clang-format off
static const OptionRow optionRows[] = {
//   name         arg   help  help lines                                                              run            check          bit        low    after   label
    {"pwm1",      ARG,  1,  "  --pwm1 [0|1]    disable or enable PWM1\n",                            switchOutput,  nullptr,       pwm1en,    false, UNREAD,  "PWM1"},
    {"pwm2",      ARG,  2,  "  --pwm2 [0|1]    disable or enable PWN2\n",                            switchOutput,  nullptr,       pwm2en,    false, UNREAD,  "PWM2"},
    {"offset",    ARG,  3,  "  --offset [0|1]  disable or enable offset\n",                          switchOutput,  nullptr,       offsetOff, true,  UNREAD,  "Offset"},
    {"opamp",     ARG,  4,  "  --opamp [0|1]   disable or enable op amp\n",                          switchOutput,  nullptr,       opamp,     false, UNREAD,  "OPAMP"},
    {"buck",      ARG,  5,  "  --buck [0|1]    disable or enable buck\n",                            switchOutput,  nullptr,       buckOff,   true,  UNREAD,  "Buck"},
    {"led",       ARG,  6,  "  --led [0|1]     disable or enable led\n",                             switchOutput,  nullptr,       ledOff,    true,  UNREAD,  "LED"},
    {"pwmlo",     ARG,  7,  "  --pwmlo [0|1]   set PWM low time\n",                                  pwmLow,        nullptr,       0,         false, UNREAD,  nullptr},
    {"pwmt",      ARG,  8,  "  --pwmt [0|1]    set PWM period\n",                                    pwmPeriod,     nullptr,       0,         false, UNREAD,  nullptr},
    {"help",      NONE, 10, "  --help          get this help message\n",                             help,          nullptr,       0,         false, UNREAD,  nullptr},
    {"sleep",     ARG,  9,  "  --sleep <time>  go to sleep for number of seconds\n",                 sleepFor,      nullptr,       0,         false, UNREAD,  nullptr},
    {"eer",       ARG,  0,  "",                                                                      eepromRead,    nullptr,       0,         false, UNREAD,  nullptr},
    {"eew",       ARG,  0,  "",                                                                      eepromWrite,   nullptr,       0,         false, UNREAD,  nullptr},
    {"eeval",     ARG,  0,  "",                                                                      eepromValue,   nullptr,       0,         false, UNREAD,  nullptr},
    {"charge",    ARG,  11, "  --charge <I>    maintain battery charging with specified current\n"
                            "                  NOTE: most other options will be ignored with this one\n"
                            "                  until charge algorithm is terminated by hitting ENTER\n", charge,        nullptr,       0,         false, UNREAD,  nullptr},
    {"log",       ARG,  14, "  --log <ip>      send 1Hz battery information packets to give IP address\n", logTo,   nullptr,       0,         false, IGNORED, nullptr},
    {"on",        ARG,  12, "  --on <seconds>  number of seconds to charge battery at I each period\n"
                            "                  The default value is 60.\n",                           onTime,        nullptr,       0,         false, IGNORED, nullptr},
    {"off",       ARG,  13, "  --off <seconds> number of seconds to not charge battery each period\n"
                            "                  The default value is 60.\n",                           offTime,       nullptr,       0,         false, IGNORED, nullptr},
    {"version",   NONE, 0,  "",                                                                      version,       nullptr,       0,         false, UNREAD,  nullptr},
    {"shutdown",  ARG,  15, "  --shutdown <s>  Automatically shut down s seconds after power failure\n", shutdownAfter, nullptr,  0,         false, IGNORED, nullptr},
    {"event-cmd", ARG,  16, "  --event-cmd <path> run path EVENT [DETAIL] on power-lost, power-back,\n"
                            "                  shutdown-pending, shutdown-cancelled, shutdown, link-failed, started\n",
                                                                                                     eventCmd,      checkEventCmd, 0,         false, REFUSED, nullptr},
    {"listen",    ARG,  17, "  --listen <ip>   take UDP commands on this local address only (default: all)\n",
                                                                                                     listenOn,      checkListen,   0,         false, REFUSED, nullptr},
    {"allow",     ARG,  18, "  --allow <nets>  take UDP commands only from these addresses or prefixes,\n"
                            "                  comma-separated, e.g. 192.168.1.0/24,10.0.0.5\n",     allowFrom,     checkAllow,    0,         false, REFUSED, nullptr},
    // Not in the help, whose text stays as it always was: see the manual.
    {"shutdown-volts", ARG, 0, "",                                                                   shutdownVolts, checkShutdownVolts, 0,    false, REFUSED, nullptr},
    {"ups-file",  ARG,  0, "",                                                                        upsFile,       VEXOupsCheckPath, 0,  false, REFUSED, nullptr},
};
// clang-format on
constexpr int OPTION_COUNT = static_cast<int>(std::size(optionRows));

// Options whose help ends with the note that they must come before --charge:
// those read by the supervisor.
static bool precedesCharge(const OptionRow& row) { return row.afterCharge != AfterCharge::Unread; }

// The parser's table: each entry reports its index + 1, so that with equal
// values it would not take the first of several matching prefixes instead of
// refusing the ambiguity.
static const std::array<option, OPTION_COUNT + 1> longOptions = [] {
    std::array<option, OPTION_COUNT + 1> t{};
    for (int i = 0; i < OPTION_COUNT; i++)
        t[static_cast<size_t>(i)] = option{optionRows[i].name, optionRows[i].hasArg, nullptr, i + 1};
    t[OPTION_COUNT] = option{nullptr, 0, nullptr, 0};
    return t;
}();

static void help(OptionRun*, const OptionRow&, const char*)
{
    printf("Usage options:\n");
    for (int rank = 1; rank <= OPTION_COUNT; rank++)
        for (const auto& row : optionRows)
            if (row.helpRank == rank)
                printf("%s%s", row.help, precedesCharge(row) ? MUST_PRECEDE_CHARGE : "");
}

// Appends " --NAME VALUE" to the list of settings ignored after --charge;
// a list too long for the buffer ends in "...".
static void noteIgnored(const OptionRow& row, const char* arg)
{
    const size_t used = strlen(ignoredAfterCharge);
    const size_t room = sizeof ignoredAfterCharge - used;
    const int n = snprintf(ignoredAfterCharge + used, room, "%s--%s %s", used > 0 ? " " : "", row.name, arg);
    if (n >= static_cast<int>(room))
        memcpy(ignoredAfterCharge + sizeof ignoredAfterCharge - 4, "...", 4);
}

// A shortening of --shutdown (from --sh on), which --shutdown-volts has made
// ambiguous: refused rather than skipped, so no shutdown the user believes in
// is lost without a word.
static int checkShutdownPrefix(const char* word)
{
    const char* eq = strchr(word, '=');
    const size_t n = eq != nullptr ? static_cast<size_t>(eq - word) : strlen(word);
    if (n < 4 || n >= strlen("--shutdown") || strncmp(word, "--shutdown", n) != 0)
        return 0;
    fprintf(stderr, "vexo: %.*s is ambiguous: write --shutdown or --shutdown-volts in full\n", static_cast<int>(n),
            word);
    return 2;
}

// The checks of VEXOcheckOptions on a copy of argv, which the parser permutes:
// the values, a field setting after --charge, and the supervisor settings
// that follow the --charge that starts it, noted for the supervisor to say.
static int checkOptions(int argc, char** argv)
{
    opterr = 0;
    optind = 0;
    ignoredAfterCharge[0] = '\0';
    bool afterCharge = false; // any --charge before
    bool started = false;     // a --charge that starts the supervisor before
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions.data(), nullptr)) != -1) {
        if (c < 1 || c > OPTION_COUNT) {
            const int rc = optind > 0 && optind <= argc ? checkShutdownPrefix(argv[optind - 1]) : 0;
            if (rc != 0)
                return rc;
            continue;
        }
        const OptionRow& row = optionRows[c - 1];
        if (afterCharge && row.afterCharge == AfterCharge::Refused) {
            fprintf(stderr, "vexo: --%s %s: must come before --charge\n", row.name, optarg);
            return 2;
        }
        if (row.check != nullptr) {
            const int rc = row.check(optarg);
            if (rc != 0)
                return rc;
        }
        if (started && row.afterCharge == AfterCharge::Ignored)
            noteIgnored(row, optarg);
        if (row.run == charge) {
            afterCharge = true;
            started = started || chargeStarts(static_cast<word>(number(optarg)));
        }
    }
    return 0;
}

int VEXOcheckOptions(int argc, char** argv)
{
    if (argc < 1)
        return 0;
    auto** copy = static_cast<char**>(malloc(sizeof(char*) * (static_cast<size_t>(argc) + 1)));
    if (copy == nullptr)
        return 0; // the options are checked again as they are carried out
    memcpy(copy, argv, sizeof(char*) * (static_cast<size_t>(argc) + 1));
    const int rc = checkOptions(argc, copy);
    free(copy);
    optind = 0;
    return rc;
}

// Options on what the supervisor sets every cycle, and --sleep and --charge.
static bool supervisorOwns(const OptionRow& row)
{
    if (row.run == switchOutput)
        return (row.bit & VEXO_SUPERVISOR_OUTPUTS) != 0;
    return row.run == pwmLow || row.run == pwmPeriod || row.run == sleepFor || row.run == charge;
}

const char* VEXOsupervisorOwnedOption(int argc, char** argv)
{
    if (argc < 1)
        return nullptr;
    auto** copy = static_cast<char**>(malloc(sizeof(char*) * (static_cast<size_t>(argc) + 1)));
    if (copy == nullptr)
        return "charge"; // cannot tell: refuse rather than fight the supervisor
    memcpy(copy, argv, sizeof(char*) * (static_cast<size_t>(argc) + 1));
    opterr = 0;
    optind = 0;
    const char* owned = nullptr;
    int c;
    while (owned == nullptr && (c = getopt_long(argc, copy, "", longOptions.data(), nullptr)) != -1)
        if (c >= 1 && c <= OPTION_COUNT && supervisorOwns(optionRows[c - 1]))
            owned = optionRows[c - 1].name;
    free(copy);
    optind = 0;
    return owned;
}

int VEXOprocessOptions(FILE* file, ByteArrayRef bReq, void*, int* loops, int argc, char** argv)
{
    OptionRun run{};
    run.file = file;
    run.bReq = bReq;
    opterr = 0;
    optind = 0; // full re-initialisation, so the processor may be called again
    *loops = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", longOptions.data(), nullptr)) != -1) {
        if (c < 1 || c > OPTION_COUNT)
            continue; // unknown, ambiguous, missing argument, short option
        const OptionRow& row = optionRows[c - 1];
        run.req = VEXOrequest_Get(bReq);
        row.run(&run, row, optarg);
        VEXOrequest_Put(bReq, run.req);
    }
    if ((run.doSomething & 1) == 0 && *loops == 0)
        *loops = 1;
    return run.doSomething;
}
