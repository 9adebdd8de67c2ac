// The image-signing public keys on /user.
#pragma once

// 1 when both the production and the development key could be loaded.
int signing_keys_present();
