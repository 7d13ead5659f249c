#include "plat/text.h"
#include "plat/time.h"

namespace plat {

void write_time_stamp(char* out, const LocalTime& t, char millisecond_separator) {
    put_digits(out, 4, t.year);
    out[4] = '/';
    put_digits(out + 5, 2, t.month);
    out[7] = '/';
    put_digits(out + 8, 2, t.day);
    out[10] = ' ';
    put_digits(out + 11, 2, t.hour);
    out[13] = ':';
    put_digits(out + 14, 2, t.minute);
    out[16] = ':';
    put_digits(out + 17, 2, t.second);
    out[19] = millisecond_separator;
    put_digits(out + 20, 3, t.millisecond);
}

}  // namespace plat
