#pragma once

#include <QString>

class MailMessage;
struct CurrentSettings;

// "1.00" for version 1.0.0: minor and revision are written side by side.
[[nodiscard]] QString versionText();

// Fills the message component with the video message: sender, recipient,
// the sending program, the subject with its prefix, the body naming the
// sender and the attachment. The component is reset first.
void composeVideoMessage(MailMessage &message, const CurrentSettings &settings,
                         const QString &recipient, const QString &subject,
                         const QString &attachmentPath);

// What the user must put right before sender and recipient can go into a
// message, in words; empty when they can. The mail component's rule
// (whyNotSendable) decides, so nothing passes here that it would refuse.
[[nodiscard]] QString addressProblem(const QString &sender, const QString &recipient);
