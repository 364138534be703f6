// Keeps the test helper library non-empty.
