// The bindings of the native module (a unit of its own, so that its object
// file does not collide with the other modules').
#include "../bindings.cpp"
