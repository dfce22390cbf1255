// support
