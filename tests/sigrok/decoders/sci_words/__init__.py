# SPDX-License-Identifier: MIT
'''
Stacks on the 'sci' decoder and shows its Python output as text: the sigrok
test compares it with the lines of `sci scan`.
'''

from .pd import Decoder
