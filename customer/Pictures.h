#pragma once

// The program's own pictures (drawn by customer/pictures/make_pictures.py).

#include <QPixmap>

enum class TorvPicture {
    Banner,        // 400 x 60 background of the top banner
    Logo,          // link-bar logo
    Icon,          // window icon
    StatusNone,    // "No connection."
    StatusGateway, // connected to the gateway
    StatusSession, // in session with the helpdesk
};

QPixmap orvPicture(TorvPicture picture);
