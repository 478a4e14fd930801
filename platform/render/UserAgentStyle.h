// The rendering layer's own user-agent style sheet: how elements look when a
// page says nothing about them (the layout engine brings none).
#pragma once

namespace tov {

extern const char kUserAgentStyle[];

}  // namespace tov
