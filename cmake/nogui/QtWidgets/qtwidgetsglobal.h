#error "The exchange stands on Qt Core, Network and DBus alone: no Qt Gui or Widgets here."
