#pragma once

// The read end of the socket pair a library made in this thread, for a
// library that keeps its pair to itself: libmosquitto writes a byte to its
// pair for every packet it queues, to wake its own select(), and a client
// run with poll() in its stead must read those bytes, or the kernel keeps
// each of them (some 200 KB a connection, at the most).

// The read end (the first descriptor) of the latest socketpair() of this
// thread, forgotten once taken; -1 when there was none since the last take.
int TakeSocketPairRead();
