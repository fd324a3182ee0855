// Builds an M list, reads it back and quotes a text as an M expression, through the C++ API of
// libqdo.
#include "classes/Exceptions.h"
#include "connect/Qdoconnect.h"
#include "encodings/Mlist.h"
#include "encodings/Mutils.h"

#include <iostream>

int main() {
    try {
        qdo::TMList list;
        list.SetList(1, "hello");
        list.SetList(2, "42");   // the canonical form of an integer: stored as an integer
        list.SetList(3, "-1.5"); // a canonical decimal: stored as a decimal
        list.SetList(5, "five"); // element 4 is left undefined

        std::cout << "list of " << list.GetLength() << " elements in " << list.AllList().size()
                  << " bytes\n";
        for (int32_t i = 1; i <= list.GetLength(); ++i)
            std::cout << "element " << i << ": " << list.GetList(i) << '\n';

        std::cout << "as M: " << qdo::MText("say \"hi\"\r\n") << '\n';
        std::cout << "matches: " << qdo::MatchString("^Person(12)", "^PERSON(*)", false, '?', '*')
                  << '\n';

        list.SetList(0, "x"); // indices start at 1: this throws
    } catch (const qdo::Exception& e) {
        std::cout << "failed as expected: " << e.Message() << '\n';
        return 0;
    }
    return 1;
}
