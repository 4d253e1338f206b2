/* Thin kernel-API layer of the driver harness: device-tree GPIO flags */
#ifndef KAPI_DT_BINDINGS_GPIO_H
#define KAPI_DT_BINDINGS_GPIO_H
#define GPIO_ACTIVE_HIGH 0
#define GPIO_ACTIVE_LOW 1
#endif
