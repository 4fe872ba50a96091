/*
 * rspiutil_test.h - test-only fault injection for librspiutil.
 *
 * Every allocation made by rspi_alloc, rspi_strdup and the rspi_alloc_X
 * functions is counted. Arming the switch resets the count.
 */
#ifndef TOLV_RSPIUTIL_TEST_H
#define TOLV_RSPIUTIL_TEST_H

#ifdef __cplusplus
extern "C" {
#endif

/* The n-th allocation from now on (1-based) fails and returns null; 0 disables. */
void rspiutil_fail_nth_alloc(long n);

/* Allocations attempted since the switch was last armed, the failed one included. */
long rspiutil_alloc_count(void);

#ifdef __cplusplus
}
#endif

#endif /* TOLV_RSPIUTIL_TEST_H */
