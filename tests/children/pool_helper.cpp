// The example pool helper, built as a test child so the tests can run it as a real process.
#include "../../examples/pool_helper.cpp"
