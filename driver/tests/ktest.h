/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Minimal test runner of the driver harness: every test runs in its own
 * child process, so each one starts from a freshly loaded module.
 */
#ifndef KTEST_H
#define KTEST_H

#include <string.h>

typedef void (*ktest_fn)(void);
void ktest_register(const char *name, ktest_fn fn);
void ktest_fail(const char *file, int line, const char *what);
void ktest_fail_eq(const char *file, int line, const char *a, const char *b,
		   long long va, long long vb);
void ktest_fail_str(const char *file, int line, const char *a,
		    const char *va, const char *vb);

#define TEST(name) \
	static void name(void); \
	__attribute__((constructor)) static void ktest_reg_##name(void) \
	{ ktest_register(#name, name); } \
	static void name(void)

#define CHECK(cond) \
	do { if (!(cond)) ktest_fail(__FILE__, __LINE__, #cond); } while (0)
#define CHECK_EQ(a, b) \
	do { long long _va = (long long)(a), _vb = (long long)(b); \
	     if (_va != _vb) \
		ktest_fail_eq(__FILE__, __LINE__, #a, #b, _va, _vb); } while (0)
#define CHECK_STR(a, b) \
	do { const char *_sa = (a), *_sb = (b); \
	     if (!_sa || !_sb || strcmp(_sa, _sb)) \
		ktest_fail_str(__FILE__, __LINE__, #a, _sa, _sb); } while (0)
#define REQUIRE(cond) \
	do { if (!(cond)) { ktest_fail(__FILE__, __LINE__, #cond); return; } } while (0)

#endif /* KTEST_H */
