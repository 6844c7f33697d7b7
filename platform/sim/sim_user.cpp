/*
 * The simulated user: message boxes recorded and answered from a script.
 */
#include "platform/sim/sim_state.h"

namespace sim {

const std::vector<Box> &Boxes()
{
    return S().boxes;
}

void Answer(int result)
{
    S().answers.push_back(result);
}

} // namespace sim

using namespace sim;

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    /* A box that cannot be shown is not seen by anyone. */
    if (Enter(OpMessageBoxA))
        return 0;
    State &s = S();
    s.boxes.push_back(Box{owner, caption != NULL, caption != NULL ? caption : "", text, type});
    if (!s.answers.empty()) {
        int answer = s.answers.front();
        s.answers.erase(s.answers.begin());
        return answer;
    }
    return (type & 0x0F) == MB_YESNO ? IDYES : IDOK;
}
