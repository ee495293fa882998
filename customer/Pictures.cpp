#include "customer/Pictures.h"

#include <QString>

// The resources live in a static library: register them before the first use,
// or the linker may leave them out.
static void InitPictureResources()
{
    Q_INIT_RESOURCE(pictures);
}

QPixmap orvPicture(TorvPicture picture)
{
    [[maybe_unused]] static const bool registered = (InitPictureResources(), true);
    const char* name = "";
    switch (picture) {
    case TorvPicture::Banner: name = "banner"; break;
    case TorvPicture::Logo: name = "logo"; break;
    case TorvPicture::Icon: name = "icon"; break;
    case TorvPicture::StatusNone: name = "status_none"; break;
    case TorvPicture::StatusGateway: name = "status_gateway"; break;
    case TorvPicture::StatusSession: name = "status_session"; break;
    }
    return QPixmap(QStringLiteral(":/pictures/%1.xpm").arg(QLatin1String(name)), "XPM");
}
