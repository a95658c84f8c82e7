/*
 * The demo application of the simulated switch.
 *
 * It stands where the switch application (home/bin/mp.elf.strip of an
 * application archive) stands, and it is a real program so that the
 * switch's ways of starting an application can be watched working: plain,
 * under gdbserver, under gdb on the console, with the memory checker
 * preloaded. On start it tells the console what it is, which image it was
 * booted from, what the archive's env-setup file gave it and who started
 * it, and it leaves a start record for the board simulator in
 * /run/board/app-start.json. Then it offers a small command prompt.
 *
 * Two more variables of env-setup make it an application that passed its
 * health check or one that fails, for the switch's trial starts:
 * DEMO_CONFIRM=1 runs `switch-ops confirm` right after the start lines;
 * DEMO_FAIL=crash then aborts, DEMO_FAIL=hang stops answering (it reads no
 * input and never ends), DEMO_FAIL=reboot restarts the switch.
 *
 * Built with -DDEMO_DIAGNOSTICS it is the diagnostics program of the demo
 * diagnostics image (mpdiag.elf.strip).
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef DEMO_VERSION
#define DEMO_VERSION "0.0.0.0"
#endif

#ifdef DEMO_DIAGNOSTICS
#define DEMO_WHAT "diagnostics"
#define DEMO_TITLE "Demo diagnostics"
#define DEMO_PROMPT "diag> "
#define DEMO_IS_DIAGNOSTICS "true"
#else
#define DEMO_WHAT "application"
#define DEMO_TITLE "Demo application"
#define DEMO_PROMPT "demo> "
#define DEMO_IS_DIAGNOSTICS "false"
#endif

extern char** environ;

static const char kEeprom[] = "/dev/i2c-0/54";
static const char kEnvSetup[] = "/tmp/home/bin/env-setup";
static const char kStartRecord[] = "/run/board/app-start.json";
enum { kVpdBootSlot = 256, kVpdBootedImage = 314 };

/* One VPD byte, read straight from the simulated EEPROM's backing file; -1
 * when it cannot be read. */
static int vpd_byte(long offset) {
    unsigned char b;
    int fd = open(kEeprom, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = pread(fd, &b, 1, offset);
    close(fd);
    return n == 1 ? b : -1;
}

static const char* booted_from(int code) {
    switch (code) {
    case 1: return "image slot 1";
    case 2: return "image slot 2";
    case 3: return "the USB stick";
    case 4: return "the flash-resident recovery or diagnostics image";
    default: return "an unknown image";
    }
}

/* The NUL-separated /proc/PID/cmdline of a process, as one line with the
 * arguments separated by spaces. Returns a heap string. */
static char* command_line_of(pid_t pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/cmdline", (int)pid);
    FILE* f = fopen(path, "rb");
    char* buf = calloc(4097, 1);
    if (!buf) abort();
    if (!f) return buf;
    size_t n = fread(buf, 1, 4096, f);
    fclose(f);
    while (n > 0 && buf[n - 1] == '\0') --n;
    for (size_t i = 0; i < n; ++i)
        if (buf[i] == '\0') buf[i] = ' ';
    buf[n] = '\0';
    return buf;
}

static void json_string(FILE* f, const char* s) {
    fputc('"', f);
    for (; *s; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') fprintf(f, "\\%c", c);
        else if (c == '\n') fputs("\\n", f);
        else if (c == '\t') fputs("\\t", f);
        else if (c < 0x20) fprintf(f, "\\u%04x", c);
        else fputc(c, f);
    }
    fputc('"', f);
}

/* The start record: what a test needs to tell how the switch started us. */
static void write_start_record(int argc, char** argv, int slot, int booted) {
    char tmp[sizeof kStartRecord + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", kStartRecord);
    FILE* f = fopen(tmp, "w");
    if (!f) return; /* no simulator records directory: not on a simulated switch */
    char* parent = command_line_of(getppid());
    fprintf(f, "{\"program\": \"demo %s\", \"version\": \"%s\", \"diagnostics\": %s,\n",
            DEMO_WHAT, DEMO_VERSION, DEMO_IS_DIAGNOSTICS);
    fprintf(f, " \"pid\": %d, \"ppid\": %d, \"boot_slot\": %d, \"booted_image\": %d,\n",
            (int)getpid(), (int)getppid(), slot, booted);
    fputs(" \"parent_command_line\": ", f);
    json_string(f, parent);
    fputs(",\n \"argv\": [", f);
    for (int i = 0; i < argc; ++i) {
        if (i) fputs(", ", f);
        json_string(f, argv[i]);
    }
    fputs("],\n \"environment\": [", f);
    for (char** e = environ; *e; ++e) {
        if (e != environ) fputs(",\n  ", f);
        json_string(f, *e);
    }
    fputs("]}\n", f);
    fclose(f);
    rename(tmp, kStartRecord);
    free(parent);
}

/* Names the archive's env-setup file sets (every other word, as the
 * launcher reads it) with the values they have now. */
static void show_env_setup(void) {
    FILE* f = fopen(kEnvSetup, "r");
    if (!f) {
        printf("env-setup: none in this archive\n");
        return;
    }
    char name[512], value[512];
    int pairs = 0;
    while (fscanf(f, "%511s", name) == 1) {
        if (fscanf(f, "%511s", value) != 1) value[0] = '\0';
        const char* now = getenv(name);
        printf("env-setup: %s=%s%s\n", name, now ? now : "", now ? "" : " (not set)");
        ++pairs;
    }
    if (pairs == 0) printf("env-setup: empty\n");
    fclose(f);
}

static void show_start(int argc, char** argv) {
    int slot = vpd_byte(kVpdBootSlot);
    int booted = vpd_byte(kVpdBootedImage);
    printf("%s %s started\n", DEMO_TITLE, DEMO_VERSION);
    printf("Booted from %s (booted-image byte %d, boot slot byte %d)\n", booted_from(booted),
           booted, slot);
    show_env_setup();
    const char* preload = getenv("LD_PRELOAD");
    printf("LD_PRELOAD: %s\n", preload ? preload : "not set");
    char* parent = command_line_of(getppid());
    printf("Started by: %s\n", parent);
    free(parent);
    write_start_record(argc, argv, slot, booted);
}

static void help(void) {
    puts("Commands:\n"
         "  help     this list\n"
         "  env      show the environment\n"
         "  version  show the version\n"
         "  reboot   restart the switch\n"
         "  confirm  tell the switch this image works (switch-ops confirm)\n"
         "  exit     end the " DEMO_WHAT "\n"
         "  overrun  write one byte past a heap block (the memory checker stops that)");
}

/* `switch-ops confirm`: this image passed its health check. Its output goes
 * to the console. */
static void confirm(void) {
    fflush(stdout);
    if (system("switch-ops confirm") != 0) puts("confirm failed");
}

/* DEMO_CONFIRM and DEMO_FAIL, after the start lines. */
static void act_on_env_setup(void) {
    const char* confirming = getenv("DEMO_CONFIRM");
    if (confirming && strcmp(confirming, "1") == 0) confirm();
    const char* fail = getenv("DEMO_FAIL");
    if (!fail) return;
    if (strcmp(fail, "crash") == 0) {
        puts("DEMO_FAIL=crash: aborting");
        fflush(stdout);
        abort();
    } else if (strcmp(fail, "hang") == 0) {
        fflush(stdout);
        for (;;) sleep(60);
    } else if (strcmp(fail, "reboot") == 0) {
        puts("DEMO_FAIL=reboot: restarting the switch");
        fflush(stdout);
        if (system("reboot") != 0) puts("reboot failed");
        fflush(stdout);
        for (;;) pause();
    } else {
        printf("DEMO_FAIL=%s: not crash, hang or reboot; ignored\n", fail);
    }
}

/* Runs one command line; returns 0 when the program is to end. */
static int run_command(const char* line) {
    if (strcmp(line, "") == 0) return 1;
    if (strcmp(line, "help") == 0) help();
    else if (strcmp(line, "env") == 0)
        for (char** e = environ; *e; ++e) puts(*e);
    else if (strcmp(line, "version") == 0) puts(DEMO_VERSION);
    else if (strcmp(line, "reboot") == 0) {
        puts("Restarting the switch...");
        fflush(stdout);
        if (system("reboot") != 0) puts("reboot failed");
    } else if (strcmp(line, "confirm") == 0) confirm();
    else if (strcmp(line, "exit") == 0) return 0;
    else if (strcmp(line, "overrun") == 0) {
        char* block = malloc(16);
        if (!block) abort();
        puts("Writing one byte past a 16-byte heap block...");
        fflush(stdout);
        block[16] = 'x'; /* deliberate: the memory checker's guard page is here */
        puts("The overrun went unnoticed (no memory checker).");
        free(block);
    } else printf("Unknown command '%s'. Type help.\n", line);
    return 1;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    show_start(argc, argv);
#ifdef DEMO_DIAGNOSTICS
    puts("Diagnostics: all tests passed.");
#endif
    act_on_env_setup();
    /* Every command line goes through a heap buffer of its own, so that a
     * preloaded memory checker has allocations to watch. */
    size_t size = 256;
    for (;;) {
        fputs(DEMO_PROMPT, stdout);
        fflush(stdout);
        char* line = malloc(size);
        if (!line) abort();
        if (!fgets(line, (int)size, stdin)) {
            free(line);
            puts("\nEnd of input: the " DEMO_WHAT " ends.");
            return 0;
        }
        line[strcspn(line, "\r\n")] = '\0';
        int go_on = run_command(line);
        free(line);
        if (!go_on) break;
    }
    puts("The " DEMO_WHAT " ends.");
    return 0;
}
