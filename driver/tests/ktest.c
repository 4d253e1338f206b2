// SPDX-License-Identifier: GPL-2.0
/*
 * Minimal test runner: one child process per test; "name" arguments select
 * tests; the closing line counts passes and failures.
 */
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kapi_ctl.h"
#include "ktest.h"

#define KTEST_MAX 256
static struct {
	const char *name;
	ktest_fn fn;
} tests[KTEST_MAX];
static int ntests;
static int failures;

void ktest_register(const char *name, ktest_fn fn)
{
	tests[ntests].name = name;
	tests[ntests].fn = fn;
	ntests++;
}

void ktest_fail(const char *file, int line, const char *what)
{
	fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
	failures++;
}

void ktest_fail_eq(const char *file, int line, const char *a, const char *b,
		   long long va, long long vb)
{
	fprintf(stderr, "%s:%d: %s == %s failed: %lld (0x%llx) != %lld (0x%llx)\n",
		file, line, a, b, va, va, vb, vb);
	failures++;
}

void ktest_fail_str(const char *file, int line, const char *a,
		    const char *va, const char *vb)
{
	fprintf(stderr, "%s:%d: %s: \"%s\" != \"%s\"\n", file, line, a,
		va ? va : "(null)", vb ? vb : "(null)");
	failures++;
}

static int selected(int argc, char **argv, const char *name)
{
	int i;

	if (argc < 2)
		return 1;
	for (i = 1; i < argc; i++)
		if (!strcmp(argv[i], name))
			return 1;
	return 0;
}

int main(int argc, char **argv)
{
	int passed = 0, failed = 0, i;

	for (i = 0; i < ntests; i++) {
		int status;
		pid_t pid;

		if (!selected(argc, argv, tests[i].name))
			continue;
		fflush(NULL);
		pid = fork();
		if (pid == 0) {
			kapi_reset();
			tests[i].fn();
			if (failures) {
				fprintf(stderr, "kernel messages of %s:\n",
					tests[i].name);
				kapi_msgs_dump();
			}
			fflush(NULL);
			_exit(failures ? 1 : 0);
		}
		waitpid(pid, &status, 0);
		if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
			printf("[  OK  ] %s\n", tests[i].name);
			passed++;
		} else {
			printf("[ FAIL ] %s%s\n", tests[i].name,
			       WIFSIGNALED(status) ? " (crashed)" : "");
			failed++;
		}
	}
	printf("%d passed, %d failed\n", passed, failed);
	return failed || !passed ? 1 : 0;
}
