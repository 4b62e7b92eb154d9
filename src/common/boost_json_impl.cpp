// Boost.JSON's implementation, compiled once for the whole program.
#include <boost/json/src.hpp>
