// Test entry point: one QApplication (offscreen under ctest) for the whole run, and, when the executable is
// built with LORVALEN_TEST_WITH_OBS, libobs started around it and checked for leaked allocations at the end.
#include <gtest/gtest.h>

#include <QApplication>

#ifdef LORVALEN_TEST_WITH_OBS
#include "support/frontend_stub.hpp"
#include "support/obs_session.hpp"
#include <cstdio>
#endif

int main(int argc, char **argv)
{
	QApplication app(argc, argv);
	::testing::InitGoogleTest(&argc, argv);
#ifdef LORVALEN_TEST_WITH_OBS
	obs_session::start();
#endif
	int result = RUN_ALL_TESTS();
#ifdef LORVALEN_TEST_WITH_OBS
	frontend::reset();
	const long leaked = obs_session::stop();
	if (leaked != 0) {
		fprintf(stderr, "libobs reports %ld allocations still live after shutdown\n", leaked);
		result = 1;
	}
#endif
	return result;
}
