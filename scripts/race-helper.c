/* Another user's side of the races in scripts/shared-dir.sh: steps timed on
 * the file events of a run, made within microseconds of the event.
 *
 *   race-helper steps DEADLINE_MS STEP...
 *       Watches the directories of all `wait` steps, says "ready" on standard
 *       output, then does the steps in order:
 *         wait DIR NAME EVENT COUNT  until the COUNT-th EVENT (create, open,
 *                                    attrib, close-write, close-nowrite,
 *                                    moved-to) on DIR/NAME since the start
 *         exchange A B               swaps the names A and B in one step
 *         rename FROM TO             renames FROM over TO
 *         pause MICROSECONDS         waits that long, or until SIGTERM
 *       Events are read without sleeping, so that a step follows its event
 *       within microseconds. A wait ends at the deadline or at SIGTERM: before
 *       the first change the helper then stops; after it the remaining steps
 *       are still done without waiting, so that what was swapped is swapped
 *       back. Each change is reported as a line ("exchange A B", ...).
 *
 *   race-helper files DIR PREFIX FIRST COUNT PER
 *       Gives an empty file the names PREFIX<i>-<n> in DIR, for i from FIRST
 *       to FIRST+COUNT-1 and n from 0 to PER-1: links to one new file for up
 *       to 60,000 names (a link is made much faster than a file).
 *
 * Built by the script with `cc -O2`; Linux only (inotify, renameat2).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

static volatile sig_atomic_t stopped;
static void on_term(int sig) {
  (void)sig;
  stopped = 1;
}

static long long now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

static void say(const char *a, const char *b, const char *c) {
  char line[2 * PATH_MAX + 64];
  int n = snprintf(line, sizeof line, "%s %s %s\n", a, b, c ? c : "");
  if (n >= (int)sizeof line) n = (int)sizeof line - 1;
  if (n > 0) (void)!write(STDOUT_FILENO, line, (size_t)n);
}

static const struct {
  const char *name;
  unsigned mask;
} k_events[] = {
    {"create", IN_CREATE},
    {"open", IN_OPEN},
    {"attrib", IN_ATTRIB},
    {"close-write", IN_CLOSE_WRITE},
    {"close-nowrite", IN_CLOSE_NOWRITE},
    {"moved-to", IN_MOVED_TO},
};

#define MAX_WATCHES 8
#define MAX_COUNTERS 16
static int watch_fd = -1;
static struct {
  int wd;
  const char *dir;
} watches[MAX_WATCHES];
static int n_watches;
/* Events seen since the start, per (directory, name, event). */
static struct {
  int wd;
  const char *name;
  unsigned mask;
  long seen;
} counters[MAX_COUNTERS];
static int n_counters;

static unsigned event_mask(const char *name) {
  for (size_t i = 0; i < sizeof k_events / sizeof k_events[0]; ++i) {
    if (strcmp(name, k_events[i].name) == 0) return k_events[i].mask;
  }
  fprintf(stderr, "race-helper: unknown event %s\n", name);
  exit(2);
}

static int counter_for(const char *dir, const char *name, unsigned mask) {
  int wd = -1;
  for (int i = 0; i < n_watches; ++i) {
    if (strcmp(watches[i].dir, dir) == 0) wd = watches[i].wd;
  }
  if (wd < 0) {
    if (n_watches == MAX_WATCHES) exit(2);
    /* Every event a step may wait for, and the closes that keep two opens
     * of one name from being merged into one event. */
    wd = inotify_add_watch(
        watch_fd, dir,
        IN_CREATE | IN_OPEN | IN_ATTRIB | IN_CLOSE | IN_MOVED_TO | IN_MODIFY | IN_DELETE);
    if (wd < 0) {
      perror("race-helper: inotify_add_watch");
      exit(2);
    }
    watches[n_watches].wd = wd;
    watches[n_watches++].dir = dir;
  }
  for (int i = 0; i < n_counters; ++i) {
    if (counters[i].wd == wd && counters[i].mask == mask && strcmp(counters[i].name, name) == 0) {
      return i;
    }
  }
  if (n_counters == MAX_COUNTERS) exit(2);
  counters[n_counters].wd = wd;
  counters[n_counters].name = name;
  counters[n_counters].mask = mask;
  counters[n_counters].seen = 0;
  return n_counters++;
}

/* Reads the events queued so far, without waiting, into the counters. */
static void drain(void) {
  char buffer[16384] __attribute__((aligned(__alignof__(struct inotify_event))));
  for (;;) {
    const ssize_t n = read(watch_fd, buffer, sizeof buffer);
    if (n <= 0) return;
    for (char *p = buffer; p < buffer + n;) {
      const struct inotify_event *e = (const struct inotify_event *)p;
      if (e->len > 0) {
        for (int i = 0; i < n_counters; ++i) {
          if (counters[i].wd == e->wd && (e->mask & counters[i].mask) != 0 &&
              strcmp(counters[i].name, e->name) == 0) {
            ++counters[i].seen;
          }
        }
      }
      p += sizeof *e + e->len;
    }
  }
}

static int steps(int argc, char **argv) {
  if (argc < 3) return 2;
  const long long deadline = now_us() + atoll(argv[2]) * 1000;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_term;
  sigaction(SIGTERM, &action, NULL);
  watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_fd < 0) {
    perror("race-helper: inotify_init1");
    return 2;
  }
  /* The watches are set before "ready": no event of the run is missed. */
  for (int i = 3; i < argc; ++i) {
    if (strcmp(argv[i], "wait") == 0 && i + 4 < argc) {
      (void)counter_for(argv[i + 1], argv[i + 2], event_mask(argv[i + 3]));
      i += 4;
    }
  }
  say("ready", "", NULL);
  int changed = 0;
  for (int i = 3; i < argc; ++i) {
    const char *step = argv[i];
    if (strcmp(step, "wait") == 0 && i + 4 < argc) {
      const int c = counter_for(argv[i + 1], argv[i + 2], event_mask(argv[i + 3]));
      const long count = atol(argv[i + 4]);
      i += 4;
      for (;;) {
        drain();
        if (counters[c].seen >= count) break;
        if (stopped || now_us() >= deadline) {
          say("missed", argv[i - 2], argv[i - 1]);
          if (!changed) return 0;
          break;
        }
      }
      if (counters[c].seen < count) {
        /* Too late to wait: only put things back. */
        stopped = 1;
      }
    } else if ((strcmp(step, "exchange") == 0 || strcmp(step, "rename") == 0) && i + 2 < argc) {
      const int swap = step[0] == 'e';
      const long r = syscall(SYS_renameat2, AT_FDCWD, argv[i + 1], AT_FDCWD, argv[i + 2],
                             swap ? RENAME_EXCHANGE : 0);
      if (r == 0) {
        changed = 1;
        say(step, argv[i + 1], argv[i + 2]);
      } else {
        fprintf(stderr, "race-helper: %s %s %s: %s\n", step, argv[i + 1], argv[i + 2],
                strerror(errno));
      }
      i += 2;
    } else if (strcmp(step, "pause") == 0 && i + 1 < argc) {
      const long long until = now_us() + atoll(argv[i + 1]);
      while (now_us() < until && !stopped) drain();
      i += 1;
    } else {
      fprintf(stderr, "race-helper: bad step %s\n", step);
      return 2;
    }
  }
  return 0;
}

static int files(int argc, char **argv) {
  if (argc != 7) return 2;
  const int dir = open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    perror("race-helper: open directory");
    return 1;
  }
  const long first = atol(argv[4]), count = atol(argv[5]), per = atol(argv[6]);
  char name[NAME_MAX + 1];
  char file[NAME_MAX + 1] = "";
  long made = 0;
  for (long i = first; i < first + count; ++i) {
    for (long n = 0; n < per; ++n, ++made) {
      snprintf(name, sizeof name, "%s%ld-%ld", argv[3], i, n);
      int done;
      if (made % 60000 == 0) {
        const int fd = openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) close(fd);
        done = fd >= 0;
        memcpy(file, name, sizeof file);
      } else {
        done = linkat(dir, file, dir, name, 0) == 0;
      }
      if (!done) {
        fprintf(stderr, "race-helper: %s: %s\n", name, strerror(errno));
        return 1;
      }
    }
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "steps") == 0) return steps(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "files") == 0) return files(argc, argv);
  fprintf(stderr,
          "usage: race-helper steps DEADLINE_MS STEP...\n"
          "       race-helper files DIR PREFIX FIRST COUNT PER\n");
  return 2;
}
