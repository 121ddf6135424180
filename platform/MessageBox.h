#pragma once

#include <QString>

// Every message the program shows goes through this, so a window can be driven
// headless and a test answers the boxes it expects.
class MessageBox
{
public:
    enum class Buttons { Ok, YesNo };
    enum class Icon { None, Information, Critical };
    enum class Answer { Ok, Yes, No };

    struct Request
    {
        QString text;
        QString title;   // empty: the application title
        Buttons buttons = Buttons::Ok;
        Icon icon = Icon::None;
        Answer defaultAnswer = Answer::Yes;  // with YesNo
    };

    virtual ~MessageBox() = default;
    /// Shows the box modally and returns the button the user chose.
    virtual Answer show(const Request &request) = 0;
};
