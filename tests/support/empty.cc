// Keeps the testsupport library non-empty before any tool lands.
