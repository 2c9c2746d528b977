#pragma once

// The whole life of the dor_sa process: start-up checks, the long-lived
// objects, the main loop and shutdown. Returns the exit status.
int sa_main(int argc, char** argv);
