#pragma once
// `talvo --self-check`: what a new tree must pass before it replaces the installed one. Loads
// what the program needs at start and would otherwise only miss on a user's desktop: the platform
// plugin the program will use here started for real (xcb connecting to $DISPLAY, in a child
// process) when there is a display, the offscreen and xcb plugins loaded with every library they
// link (the check itself runs offscreen), the SVG icon engine and image format (drawing an SVG
// icon), and the system's TLS certificate store through the carried OpenSSL (when the system has
// one at all). Needs no sound server or keyring, and writes nothing but a temporary SVG file.
// Prints the version and returns 0 when all of it loads; else names what failed on standard error
// and returns 1.
namespace talvo::SelfCheck {

int run(int argc, char** argv, const char* version);

}  // namespace talvo::SelfCheck
