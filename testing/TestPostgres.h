#pragma once
// PostgreSQL databases for tests: each caller gets a new, empty database of its own on a
// throw-away cluster, and every database made goes again when the process exits normally.
//
// The cluster is the one ctest starts for the tests that need it (its folder in
// VELMO_TEST_POSTGRES, its maintenance URI in that folder's `url` file). A test program run
// by hand, without that variable, starts a cluster of its own in a temporary folder on first
// use and stops it at exit. Failures throw XTOOErrMsg with the reason.
//
// Every function here may be called from any thread, as often as wanted.

#include <string>

namespace velmo_testing {

// The libpq URI of a new, empty database made for the caller, such as
// `postgresql://velmo@127.0.0.1:PORT/velmo_t_4242_1_9f3a01c2`.
std::string FreshPostgresDatabase();

// The libpq URI of the cluster's maintenance database (`postgres`), for looking at the
// cluster as a whole. Do not make tables there.
std::string PostgresClusterUrl();

// The cluster's folder: a child program given it as VELMO_TEST_POSTGRES shares the cluster.
std::string PostgresClusterFolder();

} // namespace velmo_testing
