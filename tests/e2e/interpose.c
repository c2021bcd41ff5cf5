/* Preloaded into the updater by the end-to-end tests to stop it at an
 * exact file move, as a crash or a failing disk would, and to make one host
 * name unresolvable without any query leaving the machine.
 *
 * A move is seen as the text "SOURCE -> DESTINATION".
 *   QUILLUP_E2E_FAIL_MATCH / QUILLUP_E2E_FAIL_AT
 *       the FAIL_AT-th move whose text contains FAIL_MATCH fails with
 *       EACCES (nothing is moved);
 *   QUILLUP_E2E_KILL_MATCH / QUILLUP_E2E_KILL_AT
 *       at the KILL_AT-th move whose text contains KILL_MATCH the process
 *       kills itself with SIGKILL before moving anything.
 *
 *   QUILLUP_E2E_IGNORE
 *       moves whose text contains any of these "|"-separated texts are
 *       never counted (the staging's own moves into the ready tree);
 *   QUILLUP_E2E_UNRESOLVABLE
 *       getaddrinfo and gethostbyname fail for this name at once.
 *
 * The no-replace move of the platform layer is the renameat2 system call;
 * both the glibc wrapper and syscall() are covered. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <errno.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static atomic_int g_failSeen, g_killSeen;

static int Ignored(const char* move) {
  const char* ignore = getenv("QUILLUP_E2E_IGNORE");
  while (ignore && *ignore) {
    const char* bar = strchr(ignore, '|');
    size_t len = bar ? (size_t)(bar - ignore) : strlen(ignore);
    char part[1024];
    if (len > 0 && len < sizeof part) {
      memcpy(part, ignore, len);
      part[len] = 0;
      if (strstr(move, part)) return 1;
    }
    ignore = bar ? bar + 1 : NULL;
  }
  return 0;
}

static int Matches(const char* envMatch, const char* envAt, atomic_int* seen, const char* move) {
  const char* m = getenv(envMatch);
  const char* at = getenv(envAt);
  if (!m || !*m || !at || !strstr(move, m)) return 0;
  if (Ignored(move)) return 0;
  return atomic_fetch_add(seen, 1) + 1 == atoi(at);
}

/* 1: fail this move; 0: go on. Never returns when the process must die. */
static int Intercept(const char* src, const char* dst) {
  char move[8192];
  snprintf(move, sizeof move, "%s -> %s", src ? src : "", dst ? dst : "");
  if (Matches("QUILLUP_E2E_KILL_MATCH", "QUILLUP_E2E_KILL_AT", &g_killSeen, move)) {
    kill(getpid(), SIGKILL);
    for (;;) pause();
  }
  return Matches("QUILLUP_E2E_FAIL_MATCH", "QUILLUP_E2E_FAIL_AT", &g_failSeen, move);
}

long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  if (number == SYS_renameat2 && Intercept((const char*)a[1], (const char*)a[3])) {
    errno = EACCES;
    return -1;
  }
  static long (*real)(long, ...);
  if (!real) real = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
  return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned int flags) {
  if (Intercept(oldpath, newpath)) {
    errno = EACCES;
    return -1;
  }
  static int (*real)(int, const char*, int, const char*, unsigned int);
  if (!real) real = (int (*)(int, const char*, int, const char*, unsigned int))dlsym(RTLD_NEXT, "renameat2");
  return real(olddirfd, oldpath, newdirfd, newpath, flags);
}

static int Unresolvable(const char* name) {
  const char* u = getenv("QUILLUP_E2E_UNRESOLVABLE");
  return u && *u && name && strcmp(name, u) == 0;
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints, struct addrinfo** res) {
  if (Unresolvable(node)) return EAI_NONAME;
  static int (*real)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  if (!real) real = (int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**))dlsym(RTLD_NEXT, "getaddrinfo");
  return real(node, service, hints, res);
}

struct hostent* gethostbyname(const char* name) {
  if (Unresolvable(name)) {
    h_errno = HOST_NOT_FOUND;
    return NULL;
  }
  static struct hostent* (*real)(const char*);
  if (!real) real = (struct hostent * (*)(const char*)) dlsym(RTLD_NEXT, "gethostbyname");
  return real(name);
}

int gethostbyname_r(const char* name, struct hostent* ret, char* buf, size_t buflen, struct hostent** result,
                    int* h_errnop) {
  if (Unresolvable(name)) {
    *result = NULL;
    *h_errnop = HOST_NOT_FOUND;
    return 0;
  }
  static int (*real)(const char*, struct hostent*, char*, size_t, struct hostent**, int*);
  if (!real) real = (int (*)(const char*, struct hostent*, char*, size_t, struct hostent**, int*))dlsym(RTLD_NEXT, "gethostbyname_r");
  return real(name, ret, buf, buflen, result, h_errnop);
}
