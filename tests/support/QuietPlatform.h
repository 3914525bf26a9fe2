#ifndef QUIETPLATFORM_H
#define QUIETPLATFORM_H

namespace QuietPlatform {

// The offscreen platform warns that it cannot pass size hints on whenever a top-level
// widget with a layout is shown: noise about the test platform, not about the code.
// Call from initTestCase(), after Qt Test has installed its own message handler, which
// still receives every other message.
void install();

} // namespace QuietPlatform

#endif
