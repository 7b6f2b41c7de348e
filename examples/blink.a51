; blink.a51 - toggles a LED on P1.0 every half second (12 MHz crystal, 1 us cycles).
; Hand-assembled into blink.hex; the listing gives address and code bytes.
;
; addr  code        source
                    ORG   0000H
; 0000  75 90 FF    MAIN:  MOV   P1,#0FFH    ; all port 1 lines high: LEDs off
; 0003  B2 90       LOOP:  CPL   P1.0        ; toggle the LED (active low)
; 0005  7D 04              MOV   R5,#4       ; 4 x 125 ms = 500 ms
; 0007  7E FA       D1:    MOV   R6,#250
; 0009  7F F9       D2:    MOV   R7,#249
; 000B  DF FE       D3:    DJNZ  R7,D3       ; 249 x 2 cycles
; 000D  DE FA              DJNZ  R6,D2       ; 250 x (2 + 498 + 1) cycles = 125 ms
; 000F  DD F6              DJNZ  R5,D1
; 0011  80 F0              SJMP  LOOP
                    END
