// Boost.JSON's definitions, compiled once here: quillaret-web uses the library header only, as
// it does Beast and Asio, so the Windows builds link nothing of Boost either.
#include <boost/json/src.hpp>
