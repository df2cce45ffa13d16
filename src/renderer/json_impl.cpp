// The compiled part of Boost.JSON, built into this library once (header-only
// use: no Boost.JSON library is linked).
#include <boost/json/src.hpp>
