#include "customer/Pictures.h"

// XPM is C source; Qt reads it without plug-ins or a resource file.
#include "customer/pictures/banner.xpm"
#include "customer/pictures/icon.xpm"
#include "customer/pictures/logo.xpm"
#include "customer/pictures/status_gateway.xpm"
#include "customer/pictures/status_none.xpm"
#include "customer/pictures/status_session.xpm"

QPixmap orvPicture(TorvPicture picture)
{
    switch (picture) {
    case TorvPicture::Banner:
        return QPixmap(banner_xpm);
    case TorvPicture::Logo:
        return QPixmap(logo_xpm);
    case TorvPicture::Icon:
        return QPixmap(icon_xpm);
    case TorvPicture::StatusNone:
        return QPixmap(status_none_xpm);
    case TorvPicture::StatusGateway:
        return QPixmap(status_gateway_xpm);
    case TorvPicture::StatusSession:
        return QPixmap(status_session_xpm);
    }
    return {};
}
