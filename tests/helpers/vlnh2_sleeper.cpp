// Test helper: sleeps until it is killed (at most 60 s). Built under
// several names so tests can tell processes apart by name alone.
#include <unistd.h>

int main()
{
    ::alarm(60);
    for (;;)
        ::pause();
}
