// Boost.JSON's implementation, compiled once for the web server's library.
#include <boost/json/src.hpp>
