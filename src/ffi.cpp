// The exported C interface. Every function checks its arguments, copies what it is handed and
// turns engine errors into status codes and message strings; nothing thrown crosses it.
